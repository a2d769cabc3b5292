// The application targets indexed by bundle path: rolling hashes of a command line's pieces.
#include "VellorinBlockerCore/ApplicationTargetIndex.hpp"

#include <algorithm>
#include <array>

#include "VellorinBlockerCore/SystemCalls.hpp"
#include "VellorinBlockerCore/Text.hpp"

namespace vellorin {

// Polynomial hashes of a text's prefixes modulo two primes, so that the hash of any piece costs
// constant time. The bases are drawn at random once per process: nobody can prepare a command line
// whose pieces collide with a target path on purpose, and a collision is only ever a wasted
// comparison, since every hit is compared in full. One object serves many texts in turn.
class PieceHashes {
 public:
  // Hashes the first `length` bytes of the text.
  void reset(std::string_view text, size_t length) {
    const auto& bases = randomBases();
    for (int k = 0; k < 2; ++k) {
      prefix_[k].resize(length + 1);
      while (power_[k].size() <= length) power_[k].push_back(power_[k].back() * bases[k] % modulus);
      for (size_t i = 0; i < length; ++i) {
        prefix_[k][i + 1] = (prefix_[k][i] * bases[k] + static_cast<unsigned char>(text[i]) + 1) % modulus;
      }
    }
  }

  // The hash of text[begin, end), within the hashed length.
  uint64_t piece(size_t begin, size_t end) const {
    uint64_t halves[2];
    for (int k = 0; k < 2; ++k) {
      halves[k] = (prefix_[k][end] + modulus * modulus - prefix_[k][begin] * power_[k][end - begin]) % modulus;
    }
    return halves[0] << 31 | halves[1];
  }

  uint64_t of(std::string_view text) {
    reset(text, text.size());
    return piece(0, text.size());
  }

 private:
  static constexpr uint64_t modulus = 2147483647;  // 2^31 - 1: every product fits in 64 bits

  static const std::array<uint64_t, 2>& randomBases() {
    static const std::array<uint64_t, 2> bases = [] {
      uint32_t random[2];
      fillRandomBytes(random, sizeof random);
      return std::array<uint64_t, 2>{256 + random[0] % (modulus - 512), 256 + random[1] % (modulus - 512)};
    }();
    return bases;
  }

  std::vector<uint64_t> prefix_[2] = {{0}, {0}};
  std::vector<uint64_t> power_[2] = {{1}, {1}};
};

namespace {

// Only an application bundle is ever a target: an absolute path ending in ".app". Anyone can queue
// a session, and a target such as "/usr" would otherwise have root kill every process started from
// under it, system services included.
bool isApplicationBundlePath(const std::string& path) { return startsWith(path, "/") && endsWith(path, ".app"); }

constexpr std::string_view bundleEnd = ".app";
constexpr std::string_view executableDirectory = "/Contents/MacOS/";

}  // namespace

ApplicationTargetIndex::ApplicationTargetIndex(const std::vector<HelperApp>& apps, const PrintedForms& printedForms)
    : apps_(apps), hashes_(std::make_unique<PieceHashes>()) {
  byPathHash_.reserve(apps.size());
  const auto add = [&](std::string path, size_t app) {
    const uint64_t hash = hashes_->of(path);
    const auto [first, last] = byPathHash_.equal_range(hash);
    // A path listed twice keeps its first place.
    if (std::any_of(first, last, [&](const auto& entry) { return paths_[entry.second].first == path; })) return;
    byPathHash_.emplace(hash, paths_.size());
    longestPath_ = std::max(longestPath_, path.size());
    paths_.emplace_back(std::move(path), app);
  };
  for (size_t i = 0; i < apps.size(); ++i) {
    const std::string& path = apps[i].path;
    if (!isApplicationBundlePath(path)) continue;
    add(path, i);
    for (std::string& printed : printedForms(path)) add(std::move(printed), i);
  }
}

ApplicationTargetIndex::~ApplicationTargetIndex() = default;

const HelperApp* ApplicationTargetIndex::owner(std::string_view command) const {
  // Every target path ends in ".app", so every piece worth a look ends just after one.
  const size_t lastBundleEnd = command.rfind(bundleEnd);
  if (empty() || lastBundleEnd == std::string_view::npos) return nullptr;
  PieceHashes& hashes = *hashes_;
  hashes.reset(command, lastBundleEnd + bundleEnd.size());
  size_t best = apps_.size();
  const auto consider = [&](size_t begin, size_t end) {
    const auto [first, last] = byPathHash_.equal_range(hashes.piece(begin, end));
    for (auto entry = first; entry != last; ++entry) {
      const auto& [path, app] = paths_[entry->second];
      if (app < best && path == command.substr(begin, end - begin)) best = app;
    }
  };
  if (lastBundleEnd + bundleEnd.size() == command.size() && command.size() <= longestPath_) {
    consider(0, command.size());  // the command line is the path
  }
  for (size_t at = command.find(bundleEnd); at != std::string_view::npos; at = command.find(bundleEnd, at + 1)) {
    const size_t end = at + bundleEnd.size();
    if (end >= command.size() || command[end] != '/') continue;
    if (end <= longestPath_) consider(0, end);  // the path and "/" begin the command line
    if (command.substr(end, executableDirectory.size()) != executableDirectory) continue;
    // The path and "/Contents/MacOS/" anywhere: the path is the piece from some "/" up to here.
    for (size_t begin = end; begin-- > 0 && end - begin <= longestPath_;) {
      if (command[begin] == '/') consider(begin, end);
    }
  }
  return best < apps_.size() ? &apps_[best] : nullptr;
}

}  // namespace vellorin
