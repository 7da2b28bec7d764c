// The reason libsndfile gives for not opening a file, safe to ask while
// other threads open files.
#pragma once

#include <string>

// libsndfile keeps the reason of a failed open in one process-wide slot that
// every other open clears, so a reason read there after another thread's
// successful open says "No Error.". This opens `path` itself and reads the
// reason straight away, again if a concurrent open cleared it. Returns the
// reason, or an empty string when the file opens.
std::string SoundFileOpenError(const std::string& path);
