// Standard descriptors, the tools' character locale, and following a rotated log.
#include "VellorinBlockerCore/ProcessEnvironment.hpp"

#include <fcntl.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "VellorinBlockerCore/SystemCalls.hpp"

namespace vellorin {
namespace {

#if defined(__APPLE__)
// macOS names its UTF-8 character set by itself; it has no "C.UTF-8".
constexpr const char* utf8CharacterLocale = "UTF-8";
#else
constexpr const char* utf8CharacterLocale = "C.UTF-8";
#endif

struct LocaleCategory {
  int category;
  const char* name;
};

// Every category that setlocale(LC_ALL, "") sets, each of which LC_ALL overrides.
constexpr LocaleCategory localeCategories[] = {
    {LC_CTYPE, "LC_CTYPE"},
    {LC_COLLATE, "LC_COLLATE"},
    {LC_MESSAGES, "LC_MESSAGES"},
    {LC_MONETARY, "LC_MONETARY"},
    {LC_NUMERIC, "LC_NUMERIC"},
    {LC_TIME, "LC_TIME"},
#if defined(__GLIBC__)
    {LC_ADDRESS, "LC_ADDRESS"},
    {LC_IDENTIFICATION, "LC_IDENTIFICATION"},
    {LC_MEASUREMENT, "LC_MEASUREMENT"},
    {LC_NAME, "LC_NAME"},
    {LC_PAPER, "LC_PAPER"},
    {LC_TELEPHONE, "LC_TELEPHONE"},
#endif
};

bool isUtf8CharacterLocale() { return std::string_view(::nl_langinfo(CODESET)) == "UTF-8"; }

// What a tool that calls setlocale(LC_ALL, "") gets, as the process status tool does: the whole
// call fails, and every category stays "C", when any one category names a locale this system
// lacks (macOS has no "C.UTF-8", which sudo passes on from a Linux terminal, for example).
bool environmentGivesUtf8CharacterLocale() {
  const bool utf8 = std::setlocale(LC_ALL, "") != nullptr && isUtf8CharacterLocale();
  (void)std::setlocale(LC_ALL, "C");  // "C" is always there
  return utf8;
}

// The locale the environment names for one category: LC_ALL, then the category's variable, then
// LANG, the first that is set and not empty; "C" when none is.
std::string environmentLocale(const char* categoryName) {
  for (const char* variable : {"LC_ALL", categoryName, "LANG"}) {
    if (const char* value = std::getenv(variable); value != nullptr && *value != '\0') return value;
  }
  return "C";
}

// The category's locale when this system has it (and, for the character type, when it is UTF-8),
// otherwise the one to use instead.
std::string existingLocale(const LocaleCategory& category) {
  std::string name = environmentLocale(category.name);
  const bool usable = std::setlocale(category.category, name.c_str()) != nullptr &&
                      (category.category != LC_CTYPE || isUtf8CharacterLocale());
  (void)std::setlocale(category.category, "C");
  if (usable) return name;
  return category.category == LC_CTYPE ? utf8CharacterLocale : "C";
}

void setVariable(const char* name, const char* value) {
  if (::setenv(name, value, 1) != 0) throwSystemError(std::string("setenv ") + name);
}

}  // namespace

std::string toolCharacterLocale() { return environmentLocale("LC_CTYPE"); }

void ensureStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open takes the lowest free number, and every lower one is open by now: that is `fd` itself.
    if (retryOnInterrupt([] { return ::open("/dev/null", O_RDONLY); }) < 0) throwSystemError("open /dev/null");
  }
}

void setFileCreationMask() { (void)::umask(022); }

void ensureUtf8CharacterLocale() {
  if (environmentGivesUtf8CharacterLocale()) return;
  // Each category named on its own, as the environment has it where the system has that locale.
  std::vector<std::pair<const char*, std::string>> settings;
  for (const auto& category : localeCategories) settings.emplace_back(category.name, existingLocale(category));
  for (const auto& [variable, value] : settings) setVariable(variable, value.c_str());
  if (::unsetenv("LC_ALL") != 0) throwSystemError("unsetenv LC_ALL");
}

void followLogRotation(int fd, const std::filesystem::path& path) {
  struct stat current {};
  struct stat named {};
  if (::fstat(fd, &current) == 0 && ::stat(path.c_str(), &named) == 0 && current.st_dev == named.st_dev &&
      current.st_ino == named.st_ino) {
    return;
  }
  // The log's place is the administrator's (the service definition names it): a link there is followed.
  const UniqueFd log(
      retryOnInterrupt([&] { return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644); }));
  // dup2 leaves `fd` without close-on-exec, as a standard stream must be.
  if (log) (void)retryOnInterrupt([&] { return ::dup2(log.get(), fd); });
}

}  // namespace vellorin
