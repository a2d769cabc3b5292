// Descriptor ownership, errno-preserving failures and the random source.
#include "VellorinBlockerCore/SystemCalls.hpp"

#include <unistd.h>
#if defined(__APPLE__)
#include <sys/random.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace vellorin {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);  // A failed close still releases the descriptor; nothing to retry.
  fd_ = fd;
}

void throwSystemError(const std::string& what) { throwSystemError(errno, what); }

void throwSystemError(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
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

std::string makeRandomUUID() {
  uint8_t bytes[16];
  fillRandomBytes(bytes, sizeof bytes);
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

}  // namespace vellorin
