// The command request decoder, fed what any local user can drop into the command directory.
#include "FuzzCheck.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  return vellorin::fuzzing::checkRecordRoundTrip<vellorin::HelperCommandRequest>(data, size);
}
