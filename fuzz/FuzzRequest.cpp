// The command request decoder, fed what any local user can drop into the command directory. A
// request that decodes is written and read back as the same request.
#include "FuzzCheck.hpp"
#include "VellorinBlockerCore/Models.hpp"

using namespace vellorin;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  HelperCommandRequest request;
  try {
    request = decodeDocument<HelperCommandRequest>(fuzzing::text(data, size));
  } catch (const std::exception&) {
    return 0;  // refused: answered with a failed response
  }
  fuzzing::check(decodeDocument<HelperCommandRequest>(encodeDocument(request.toJson())) == request,
                 "decode(encode(request)) == request");
  return 0;
}
