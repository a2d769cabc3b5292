// Stand-ins for the macOS tools the helper runs, for Linux builds where those tools do not exist.
#include "VellorinBlockerCore/PlatformTools.hpp"

#if !defined(__APPLE__)
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#endif

namespace vellorin {

#if defined(__APPLE__)

std::optional<ProcessOutput> platformToolStandIn(const std::string&, const std::vector<std::string>&) {
  return std::nullopt;
}

#else

namespace {

struct AddressInfoDeleter {
  void operator()(addrinfo* info) const { ::freeaddrinfo(info); }
};

bool pathExists(const char* path) {
  struct stat status {};
  return ::stat(path, &status) == 0;
}

ProcessOutput succeeded(std::string output = {}) { return ProcessOutput{std::move(output), 0, false}; }

// Answers a host lookup the way the macOS directory-service tool prints it: a "name:" line and one
// "ip_address:" line per IPv4 address, then an empty line. A name that does not resolve prints
// nothing, as the real tool does.
ProcessOutput lookUpHost(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (name.empty() || ::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) return succeeded();
  const std::unique_ptr<addrinfo, AddressInfoDeleter> owner(found);

  std::vector<std::string> addresses;
  for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || !entry->ai_addr) continue;
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
    char text[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text)) continue;
    if (std::find(addresses.begin(), addresses.end(), text) == addresses.end()) addresses.emplace_back(text);
  }
  if (addresses.empty()) return succeeded();
  std::string output = "name: " + name + "\n";
  for (const auto& address : addresses) output += "ip_address: " + address + "\n";
  output += "\n";
  return succeeded(std::move(output));
}

// Flushes systemd-resolved's cache when it runs here; otherwise there is no cache to flush. The
// real tool is run only where it exists, so the runner never comes back to this stand-in.
ProcessOutput flushNameCache() {
  constexpr const char* resolvectl = "/usr/bin/resolvectl";
  if (pathExists("/run/systemd/resolve") && pathExists(resolvectl)) {
    try {
      runProcess(resolvectl, {"flush-caches"}, std::chrono::seconds(5));
    } catch (const std::exception&) {
      // Flushing is best effort, as it is on macOS.
    }
  }
  return succeeded();
}

}  // namespace

std::optional<ProcessOutput> platformToolStandIn(const std::string& executable, const std::vector<std::string>& arguments) {
  if (executable == "/sbin/pfctl") {
    // No packet filter of this kind is loaded here: every call succeeds and prints no token.
    return succeeded();
  }
  if (executable == "/usr/bin/dscacheutil") {
    if (arguments.size() == 5 && arguments[0] == "-q" && arguments[1] == "host" && arguments[2] == "-a" &&
        arguments[3] == "name") {
      return lookUpHost(arguments[4]);
    }
    if (arguments.size() == 1 && arguments[0] == "-flushcache") return flushNameCache();
    return ProcessOutput{"dscacheutil: unsupported arguments\n", 64, false};
  }
  if (executable == "/usr/bin/killall" &&
      (arguments == std::vector<std::string>{"-HUP", "mDNSResponder"} ||
       arguments == std::vector<std::string>{"mDNSResponderHelper"})) {
    // There is no multicast DNS responder to signal here.
    return succeeded();
  }
  // launchctl and osascript have no counterpart: the console notification is not available here,
  // and reporting a launch failure is the honest answer.
  return std::nullopt;
}

#endif

}  // namespace vellorin
