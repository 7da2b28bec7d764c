// RAII owner of a libsndfile handle.
#pragma once

#include <sndfile.h>

#include <memory>

struct SndFileCloser {
  void operator()(SNDFILE* f) const noexcept { sf_close(f); }
};
using SndFilePtr = std::unique_ptr<SNDFILE, SndFileCloser>;
