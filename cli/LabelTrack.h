// Label tracks: the text `vxaudio silence --format labels` writes and sound
// editors import and export, one label a line ("START<tab>END<tab>TEXT",
// times in seconds), read back as the silences split cuts at. A track edited
// by hand may use spaces instead of tabs and CRLF line ends; blank lines and
// the frequency lines that follow a spectral label (they start with a
// backslash) are skipped.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "MarkData.h"

namespace vxcli {

struct Label {
  double start = 0.0;  // seconds, finite, 0 or more
  double end = 0.0;    // not before start; equal for a point label
  std::string text;    // without the blanks around it
};

// A line that is no label: its number (from 1) and why.
struct LabelError {
  int line = 0;
  std::string reason;
};

// Parses a whole track into `out`, in the order written. Stops at the first
// line that is not a label, a negative time or a label that ends before it
// starts.
std::optional<LabelError> ParseLabels(std::istream& in, std::vector<Label>& out);

// Reads the track `named`: a path, or "-" for standard input. On failure
// prints the error line ("<named>: <reason>", or "<named>:<line>: <reason>"
// for a bad line) and returns kExitFailed; kExitOk otherwise.
int ReadLabelTrack(std::string_view command, const std::string& named, std::vector<Label>& out);

// The labels that mark silences: the region labels whose text is "silence"
// (in any case), or every region label when none is. A point label marks an
// instant, not a stretch, and is never a silence.
std::vector<Label> SilenceLabels(const std::vector<Label>& labels);

// Those stretches in the frames of a file at `rate` Hz: each end rounded to
// the nearest frame, clipped to [from, to), sorted, overlapping and touching
// ones merged; a stretch the rounding or clipping empties is dropped.
std::vector<MarkData> LabelFrames(const std::vector<Label>& silences, int32_t rate, int32_t from,
                                  int32_t to);

}  // namespace vxcli
