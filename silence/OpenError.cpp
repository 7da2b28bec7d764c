#include "OpenError.h"

#include <sndfile.h>

#include <mutex>

std::string SoundFileOpenError(const std::string& path) {
  static std::mutex askers;
  std::lock_guard lock(askers);
  // Only a concurrent open between ours and the read below can clear the
  // slot, and that open is short; a few tries are plenty.
  for (int attempt = 0; attempt < 64; ++attempt) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f) {
      sf_close(f);
      return {};
    }
    const int code = sf_error(nullptr);
    if (code != SF_ERR_NO_ERROR) return sf_error_number(code);
  }
  return sf_error_number(SF_ERR_UNRECOGNISED_FORMAT);
}
