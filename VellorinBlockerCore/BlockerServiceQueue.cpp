// BlockerService: the command directory queue: list, order, answer, remove.
#include "VellorinBlockerCore/BlockerService.hpp"

#include <algorithm>

#include "VellorinBlockerCore/Text.hpp"

namespace vellorin {
namespace {

constexpr std::string_view requestSuffix = ".request.json";
constexpr std::string_view responseSuffix = ".response.json";

}  // namespace

void BlockerService::prepareCommandDirectory() { sharedDirectories_.prepare(); }

void BlockerService::processPendingCommands() {
  const auto directories = sharedDirectories_.prepare();
  std::vector<std::string> requests;
  for (auto& name : directories.commandDirectoryEntries()) {
    if (endsWith(name, requestSuffix)) requests.push_back(std::move(name));
  }
  if (requests.empty()) return;
  std::sort(requests.begin(), requests.end());  // byte order

  const UniqueFd lock = locks_.lockCommandQueue();
  for (const auto& name : requests) {
    // In a daemon pass, the requests not begun by then wait for the next pass.
    if (passBudget_->elapsed() >= limits::queueStepBudget) break;
    processCommandRequest(directories, name);
  }
}

void BlockerService::processCommandRequest(const SharedDirectories::Open& directories, const std::string& fileName) {
  const std::string fileID = fileName.substr(0, fileName.size() - requestSuffix.size());
  const std::string responseName = fileID + std::string(responseSuffix);
  if (!directories.responseCanBeWritten(responseName)) {
    // Running the command would repeat it every pass, since its answer could never be written and
    // the request would stay. The request is dropped unread.
    directories.removeFromCommandDirectory(fileName);
    return;
  }

  HelperCommandResponse response;
  try {
    const auto bytes = directories.readRequest(fileName);
    if (!bytes) return;  // Another helper process answered it a moment ago.
    response = answerRequest(*bytes);
  } catch (...) {
    response = HelperCommandResponse{.id = replacingInvalidUtf8(fileID),
                                     .ok = false,
                                     .error = replacingInvalidUtf8(failureDescription(std::current_exception()))};
  }

  directories.writeResponse(responseName, encodeDocument(response.toJson()));
  try {
    directories.removeFromCommandDirectory(fileName);
  } catch (...) {
    // The request is answered again in the next pass, overwriting its response.
  }
}

HelperCommandResponse BlockerService::answerRequest(const std::string& requestBytes) {
  const auto request = decodeDocument<HelperCommandRequest>(requestBytes);
  const auto requireSession = [&]() -> const HelperSession& {
    if (!request.session) throw HelperCommandError::missingArgument("session");
    return *request.session;
  };
  HelperStatus result;
  switch (request.command) {
    case HelperCommandKind::apply:
      result = apply(requireSession());
      break;
    case HelperCommandKind::update:
      result = update(requireSession());
      break;
    case HelperCommandKind::cleanup:
      result = cleanupIfExpired();
      break;
    case HelperCommandKind::restore:
      result = restoreAndReport(request.force.value_or(false) ? RestoreForce::evenIfActive : RestoreForce::unlessActive,
                                "Blocker restored.");
      break;
  }
  return HelperCommandResponse{.id = request.id, .ok = true, .status = result};
}

}  // namespace vellorin
