// Standard descriptors, the tools' character locale, and following a rotated log.
#include "VellorinBlockerCore/ProcessEnvironment.hpp"

#include <fcntl.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <string>
#include <string_view>

#include "VellorinBlockerCore/SystemCalls.hpp"

namespace vellorin {
namespace {

#if defined(__APPLE__)
// macOS names its UTF-8 character set by itself; it has no "C.UTF-8".
constexpr const char* utf8CharacterLocale = "UTF-8";
#else
constexpr const char* utf8CharacterLocale = "C.UTF-8";
#endif

// Every category but LC_CTYPE, each of which LC_ALL overrides.
constexpr const char* otherLocaleCategories[] = {
    "LC_COLLATE", "LC_MESSAGES", "LC_MONETARY", "LC_NUMERIC", "LC_TIME",
#if defined(__GLIBC__)
    "LC_ADDRESS", "LC_IDENTIFICATION", "LC_MEASUREMENT", "LC_NAME", "LC_PAPER", "LC_TELEPHONE",
#endif
};

// Whether a tool started with this environment gets a UTF-8 character locale. setlocale reads
// LC_ALL, LC_CTYPE and LANG as every tool does, and falls back to "C" for a locale this system
// lacks, so the answer is the one the tool would find.
bool environmentGivesUtf8CharacterLocale() {
  const bool utf8 = std::setlocale(LC_CTYPE, "") != nullptr && std::string_view(::nl_langinfo(CODESET)) == "UTF-8";
  (void)std::setlocale(LC_CTYPE, "C");  // "C" is always there
  return utf8;
}

void setVariable(const char* name, const char* value) {
  if (::setenv(name, value, 1) != 0) throwSystemError(std::string("setenv ") + name);
}

}  // namespace

void ensureStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open takes the lowest free number, and every lower one is open by now: that is `fd` itself.
    if (retryOnInterrupt([] { return ::open("/dev/null", O_RDONLY); }) < 0) throwSystemError("open /dev/null");
  }
}

void ensureUtf8CharacterLocale() {
  if (environmentGivesUtf8CharacterLocale()) return;
  if (const char* all = std::getenv("LC_ALL"); all != nullptr && *all != '\0') {
    const std::string value = all;
    for (const char* category : otherLocaleCategories) setVariable(category, value.c_str());
    if (::unsetenv("LC_ALL") != 0) throwSystemError("unsetenv LC_ALL");
  }
  setVariable("LC_CTYPE", utf8CharacterLocale);
}

void followLogRotation(int fd, const std::filesystem::path& path) {
  struct stat current {}, named {};
  if (::fstat(fd, &current) == 0 && ::stat(path.c_str(), &named) == 0 && current.st_dev == named.st_dev &&
      current.st_ino == named.st_ino) {
    return;
  }
  // The log's place is the administrator's (the service definition names it): a link there is followed.
  const UniqueFd log(retryOnInterrupt([&] { return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644); }));
  // dup2 leaves `fd` without close-on-exec, as a standard stream must be.
  if (log) (void)retryOnInterrupt([&] { return ::dup2(log.get(), fd); });
}

}  // namespace vellorin
