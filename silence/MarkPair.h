// (start, end) of one final silence mark, in frames from the start of the file.
#pragma once

#include <cstdint>

struct MarkPair {
  int32_t start = 0;
  int32_t end = 0;
};
