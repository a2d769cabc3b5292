// The session decoder of session files and of the state file.
#include "FuzzCheck.hpp"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
  return vellorin::fuzzing::checkRecordRoundTrip<vellorin::HelperSession>(data, size);
}
