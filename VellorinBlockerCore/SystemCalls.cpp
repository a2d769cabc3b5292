// Descriptor ownership, errno-preserving failures and the random source.
#include "VellorinBlockerCore/SystemCalls.hpp"

#include <signal.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/random.h>
#endif

#include <algorithm>

namespace vellorin {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);  // A failed close still releases the descriptor; nothing to retry.
  fd_ = fd;
}

void throwSystemError(const std::string& what) { throwSystemError(errno, what); }

void throwSystemError(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

bool signalProcess(pid_t pid, int signal) {
  if (pid < 2 || pid == ::getpid()) return false;
  return ::kill(pid, signal) == 0;
}

bool signalProcessGroup(pid_t group, int signal) {
  if (group < 2 || group == ::getpgrp()) return false;
  return ::kill(-group, signal) == 0;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = retryOnInterrupt([&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (written < 0) return false;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

void fillRandomBytes(void* buffer, size_t length) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const size_t chunk = std::min<size_t>(length, 256);  // getentropy's limit per call
    if (::getentropy(bytes, chunk) != 0) throwSystemError("getentropy");
    bytes += chunk;
    length -= chunk;
  }
}

std::string hexDigits(const unsigned char* bytes, size_t count) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0x0F];
  }
  return text;
}

std::string makeRandomUUID() {
  unsigned char bytes[16];
  fillRandomBytes(bytes, sizeof bytes);
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  const std::string hex = hexDigits(bytes, sizeof bytes);
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
         hex.substr(20);
}

}  // namespace vellorin
