// What the fuzz targets share: a property check that stops the run with the property's text.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace vellorin::fuzzing {

inline void check(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "property broken: %s\n", property);
  std::abort();
}

inline std::string_view text(const unsigned char* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace vellorin::fuzzing
