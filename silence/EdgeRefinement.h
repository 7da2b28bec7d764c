#pragma once
// Sharper edges for detected silences. The loudness model hears a sound for a
// while after it stops (temporal masking) and looks at long frames, so its
// silences start tens of milliseconds late, and may end early. Close to each
// edge the file's own short-term level says where the sound really stops and
// starts; RefineEdges moves the edges there, judged against a quiet level
// measured in the file itself. A layer above the detector: its marks go in,
// the same marks with moved edges come out.
#include <string>
#include <vector>

#include "MarkData.h"

// How the edges follow the signal.
struct EdgeRule {
  // How far an edge may move either way: about as far as the model smears.
  float reach = 0.15f;  // seconds
  // The level is the RMS of the signal in a speech band (hum, rumble and
  // hiss lie outside it and would hide the soft ends of words), over windows
  // one block apart, the loudest channel counting. A window of about one
  // period of a low voice keeps the level from dipping between its pulses.
  float bandLowHz = 300.0f;
  float bandHighHz = 4000.0f;
  float blockSeconds = 0.001f;  // resolution of the edges
  float windowSeconds = 0.011f;
  // The quiet level: this fraction of the windows inside the silences is at
  // or below it. A window more than the margin above it is sound...
  float quietPercentile = 0.9f;
  float quietMarginDb = 3.0f;
  // ...and so is one within this many dB of the sound near the edges, which
  // keeps a threshold when the silences are digital zeros.
  float floorBelowSoundDb = 60.0f;
  // Quiet this long ends a sound, for an edge that the model put inside one.
  float holdSeconds = 0.02f;
  // The quiet and sound levels come from every k-th silence, k the largest
  // that leaves at least this many (all of them in a file with fewer). Taken
  // evenly through the file they put the percentile where all would, to
  // within a bin or so, and a long file is not read around every edge twice:
  // on compressed sound the reading would cost more than the detection.
  int surveyedSilences = 128;
};

// What one refinement measured, for the reports.
struct EdgeReport {
  double quietLevel = 0;  // RMS (full scale 1) at the percentile inside the silences
  double soundLevel = 0;  // median over the edges of the loudest window near each
  double threshold = 0;   // RMS above which a window is sound
  int moved = 0;          // edges that moved
};

// Moves the edges of `silences` (frames of `file`, in order, not
// overlapping) to where the level crosses the threshold, each within `reach`
// of the mark: a start back to where the sound stopped (forward, when the
// mark lies inside sound, to where it stops), an end forward to where the
// sound starts (back, when inside sound, to where it started). An edge with no
// crossing in reach stays, and so do edges at the ends of the file. No edge
// passes the other edge of its silence or reaches a neighbouring silence.
// Reads only the audio near the edges and inside the silences. Returns an
// empty string, or why the file could not be opened (the marks are then
// unchanged).
//
// `threads` 0: one per processor, at most 8; 1 (what a host gets unless it
// asks): only the calling thread. Threads take runs of silences, each
// reading the file for itself, and give exactly the serial marks and report:
// a level is the same whichever thread measures it, and a thread takes over
// the search only at a silence that no edge before it can reach (nowhere,
// when the silences lie too close together).
std::string RefineEdges(const std::string& file, std::vector<MarkData>& silences,
                        EdgeReport& report, const EdgeRule& rule = EdgeRule{}, int threads = 1);
