// The session decoder of session files and of the state file. A session that decodes is written
// and read back as the same session, and its written form is a fixed point.
#include "FuzzCheck.hpp"
#include "VellorinBlockerCore/Models.hpp"

using namespace vellorin;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  HelperSession session;
  try {
    session = decodeDocument<HelperSession>(fuzzing::text(data, size));
  } catch (const std::exception&) {
    return 0;
  }
  const std::string written = encodeDocument(session.toJson());
  const auto reread = decodeDocument<HelperSession>(written);
  fuzzing::check(reread == session, "decode(encode(session)) == session");
  fuzzing::check(encodeDocument(reread.toJson()) == written, "encode is a fixed point");
  return 0;
}
