// Thin wrappers over POSIX: an owned descriptor, errno-preserving failures, random bytes.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace vellorin {

// A file descriptor that is closed exactly once, when its owner goes away. Move-only.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Throws std::system_error carrying the current errno and "what" (the call and its path).
[[noreturn]] void throwSystemError(const std::string& what);
[[noreturn]] void throwSystemError(int error, const std::string& what);

// Repeats a system call while it fails with EINTR.
template <typename Call>
auto retryOnInterrupt(Call call) {
  for (;;) {
    auto result = call();
    if (!(result == -1 && errno == EINTR)) return result;
  }
}

// Sends the signal to the one process `pid`, unless `pid` is below 2 (the scheduler, init, or one of
// kill's whole-group forms) or the helper's own. False when refused or when kill fails.
bool signalProcess(pid_t pid, int signal);

// Sends the signal to every process of the group `group`, unless `group` is below 2 or the
// helper's own group. Async-signal-safe. False when refused or when kill fails.
bool signalProcessGroup(pid_t group, int signal);

// Writes every byte, looping over short writes and EINTR. False on failure, with errno set.
bool writeAll(int fd, std::string_view bytes);

// Fills the buffer from the operating system's random source; throws std::system_error on failure.
void fillRandomBytes(void* buffer, size_t length);

// The bytes as lower-case hexadecimal digits, two per byte.
std::string hexDigits(const unsigned char* bytes, size_t count);

// A fresh random UUID (version 4) in its 36-character hyphenated form, lower case.
std::string makeRandomUUID();

}  // namespace vellorin
