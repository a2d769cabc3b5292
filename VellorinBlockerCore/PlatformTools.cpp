// Stand-ins for the macOS tools the helper runs, for systems where those tools do not exist.
#include "VellorinBlockerCore/PlatformTools.hpp"

#include "VellorinBlockerCore/Limits.hpp"

#if !defined(__APPLE__)
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <optional>
#endif

namespace vellorin {

#if defined(__APPLE__)

ProcessRunner withPlatformStandIns(ProcessRunner runner) { return runner; }

#else

namespace {

struct AddressInfoDeleter {
  void operator()(addrinfo* info) const { ::freeaddrinfo(info); }
};

bool pathExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// Answers a host lookup the way the macOS directory-service tool prints it: a "name:" line and one
// "ip_address:" line per IPv4 address, then an empty line. A name that does not resolve prints
// nothing, as the real tool does.
std::string lookUpHost(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (name.empty() || ::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) return {};
  const std::unique_ptr<addrinfo, AddressInfoDeleter> owner(found);

  std::vector<std::string> addresses;
  for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || !entry->ai_addr) continue;
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
    char text[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text)) continue;
    if (std::find(addresses.begin(), addresses.end(), text) == addresses.end()) addresses.emplace_back(text);
  }
  if (addresses.empty()) return {};
  std::string output = "name: " + name + "\n";
  for (const auto& address : addresses) output += "ip_address: " + address + "\n";
  return output + "\n";
}

// Flushes systemd-resolved's cache when it runs here; otherwise there is no cache to flush.
void flushNameCache(const ProcessRunner& runner) {
  constexpr const char* resolvectl = "/usr/bin/resolvectl";
  if (!pathExists("/run/systemd/resolve") || !pathExists(resolvectl)) return;
  try {
    runner(resolvectl, {"flush-caches"}, RunOptions{.allowFailure = true, .timeLimit = limits::cacheFlushTimeLimit});
  } catch (const std::exception&) {
    // Flushing is best effort, as it is on macOS.
  }
}

// The stand-in's exit status and output for a call, or nothing when no stand-in serves it.
std::optional<std::pair<int, std::string> > standInAnswer(const ProcessRunner& runner, const std::string& executable,
                                                          const std::vector<std::string>& arguments) {
  using Arguments = std::vector<std::string>;
  if (executable == "/sbin/pfctl") return std::pair{0, std::string()};  // no packet filter to enable or release
  if (executable == "/usr/bin/dscacheutil") {
    if (arguments.size() == 5 &&
        Arguments(arguments.begin(), arguments.begin() + 4) == Arguments{"-q", "host", "-a", "name"}) {
      return std::pair{0, lookUpHost(arguments[4])};
    }
    if (arguments == Arguments{"-flushcache"}) {
      flushNameCache(runner);
      return std::pair{0, std::string()};
    }
    return std::pair{64, std::string("dscacheutil: unsupported arguments\n")};
  }
  // There is no multicast DNS responder to signal here; any other use of killall is a real one.
  if (executable == "/usr/bin/killall" &&
      (arguments == Arguments{"-HUP", "mDNSResponder"} || arguments == Arguments{"mDNSResponderHelper"})) {
    return std::pair{0, std::string()};
  }
  return std::nullopt;
}

}  // namespace

ProcessRunner withPlatformStandIns(ProcessRunner runner) {
  return [runner = std::move(runner)](const std::string& executable, const std::vector<std::string>& arguments,
                                      const RunOptions& options) {
    if (!pathExists(executable)) {
      if (auto answer = standInAnswer(runner, executable, arguments)) {
        return outputUnderPolicy(std::move(answer->second), answer->first, options);
      }
    }
    return runner(executable, arguments, options);
  };
}

#endif

ProcessRunner defaultProcessRunner() { return withPlatformStandIns(runProcess); }

}  // namespace vellorin
