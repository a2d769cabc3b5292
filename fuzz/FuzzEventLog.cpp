// The event log decoder: the log lies where every local user can write. A log that decodes is
// written and read back as the same events.
#include "FuzzCheck.hpp"
#include "VellorinBlockerCore/Models.hpp"

using namespace vellorin;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  std::vector<HelperBlockedAppEvent> events;
  try {
    events = eventsFromJson(parseDocument(fuzzing::text(data, size)));
  } catch (const std::exception&) {
    return 0;  // an unreadable log counts as empty
  }
  fuzzing::check(eventsFromJson(parseDocument(encodeDocument(eventsToJson(events)))) == events,
                 "decode(encode(events)) == events");
  return 0;
}
