// Calling ICU's C functions that write into a buffer, with their failures as exceptions.
#pragma once

#include <unicode/utypes.h>

#include <cstddef>
#include <stdexcept>
#include <string>

namespace vellorin {

// ICU fails in the library's calls only when it runs out of memory or is handed a broken pattern:
// faults of the process, not of the text. Throws std::runtime_error naming the call and the code.
inline void checkIcu(UErrorCode status, const char* what) {
  if (U_FAILURE(status) != 0) throw std::runtime_error(std::string(what) + ": " + u_errorName(status));
}

// Runs an ICU call that writes into a buffer the usual way: once without a buffer to learn the
// length, then again into a buffer of that length (and one unit more, for the terminating NUL that
// ICU adds when there is room).
template <typename Result, typename Call>
Result preflightedIcuCall(const char* what, Call call) {
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = call(nullptr, 0, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR) checkIcu(status, what);
  Result result(static_cast<size_t>(length) + 1, typename Result::value_type{});
  status = U_ZERO_ERROR;
  call(result.data(), length + 1, &status);
  checkIcu(status, what);
  result.resize(static_cast<size_t>(length));
  return result;
}

}  // namespace vellorin
