// What the fuzz targets share: a property check that stops the run with the property's text.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "VellorinBlockerCore/Models.hpp"

namespace vellorin::fuzzing {

inline void check(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "property broken: %s\n", property);
  std::abort();
}

inline std::string_view text(const unsigned char* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// A record that decodes from the input is written and read back as the same record, and its
// written form is a fixed point. Input that does not decode is refused, which is all it may do.
template <typename Record>
int checkRecordRoundTrip(const unsigned char* data, size_t size) {
  Record record;
  try {
    record = decodeDocument<Record>(text(data, size));
  } catch (const std::exception&) {
    return 0;
  }
  const std::string written = encodeDocument(record.toJson());
  const auto reread = decodeDocument<Record>(written);
  check(reread == record, "decode(encode(record)) == record");
  check(encodeDocument(reread.toJson()) == written, "encode is a fixed point");
  return 0;
}

}  // namespace vellorin::fuzzing
