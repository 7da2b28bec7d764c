#include "AnalysisPreconditions.h"

#include <limits>
#include <sstream>

#include "AnalysisFrame.h"
#include "Diag.h"
#include "OpenError.h"
#include "SilenceDetector.h"

namespace vxsilence {

int32_t AnalysisSubject::FrameLength() const { return FrameLengthFor(info.samplerate, model); }
int32_t AnalysisSubject::Hop() const { return HopFor(info.samplerate); }

namespace {

using Subject = AnalysisSubject;
using Text = std::string (*)(const Subject&);

struct Precondition {
  bool (*fails)(const Subject&);
  // The detector's line on the error output and its result; no line: the
  // detector does not check this.
  Text detectorLine = nullptr;
  int detectorResult = kDetectOk;
  // What the detector does instead of stopping, for the one row that only
  // warns (its result is kDetectOk).
  void (*correct)(Subject&) = nullptr;
  // The user's words; none: not a reason to refuse a whole file.
  Text userWords = nullptr;
};

constexpr int32_t kMaxFrames = std::numeric_limits<int32_t>::max();

// N + H + 1, in the detector's 32-bit arithmetic.
int32_t MinimumFrames(const Subject& s) { return s.FrameLength() + s.Hop() + 1; }

std::string Str(const char* iText) { return iText; }

const Precondition kPreconditions[] = {
    {.fails = [](const Subject& s) { return !s.opened; },
     .detectorLine =
         [](const Subject& s) {
           return "SilenceDetector: Error: Not able to open current file " + s.fileName;
         },
     .detectorResult = kDetectRefused,
     .userWords =
         [](const Subject& s) {
           return "not a sound file that can be read (" + SoundFileOpenError(s.fileName) + ")";
         }},
    {.fails = [](const Subject& s) { return s.info.channels > 2; },
     .userWords =
         [](const Subject& s) {
           return "has " + std::to_string(s.info.channels) +
                  " channels; only mono and stereo files are analysed";
         }},
    {.fails = [](const Subject& s) { return s.start < 0 || s.length < 0; },
     .detectorLine =
         [](const Subject&) {
           return Str("SilenceDetector: Error: negatif iStartSmp and/or iLenSmp");
         },
     .detectorResult = kDetectRefused},
    {.fails = [](const Subject& s) { return s.start >= FrameCount(s.info); },
     .detectorLine =
         [](const Subject&) {
           return Str("SilenceDetector: Error: iStartSmp superior to number of samples of file");
         },
     .detectorResult = kDetectRefused},
    {.fails = [](const Subject& s) { return s.start + s.length > FrameCount(s.info); },
     .detectorLine =
         [](const Subject&) {
           return Str(
               "SilenceDetector: Error: iStartSmp+iLenSmp superior to number of samples of file, "
               "iLenSmp put too good value");
         },
     .correct = [](Subject& s) { s.length = FrameCount(s.info) - s.start; }},
    {.fails = [](const Subject& s) { return s.info.samplerate < 44100; },
     .detectorLine =
         [](const Subject&) {
           return Str("SilenceDetector: Seems not to be working for rates lower 44100");
         },
     .detectorResult = kDetectFailed,
     .userWords =
         [](const Subject& s) {
           return "sample rate " + std::to_string(s.info.samplerate) +
                  " Hz is below 44100 Hz, the lowest rate the loudness analysis supports";
         }},
    {.fails = [](const Subject& s) { return s.info.frames > kMaxFrames; },
     .userWords =
         [](const Subject& s) {
           return "has " + std::to_string(s.info.frames) + " frames, more than the " +
                  std::to_string(kMaxFrames) + " the detector can address";
         }},
    // Comes before the detector sizes its buffers: N grows with the header's
    // sample rate (2^30 floats at 2^31 Hz), and a range too short to fill one
    // frame must not cost that allocation.
    {.fails = [](const Subject& s) { return s.length < MinimumFrames(s); },
     .detectorLine =
         [](const Subject& s) {
           const int32_t minimum = MinimumFrames(s);
           std::ostringstream line;
           line << "SilenceDetector: not enough sample too read / file too short, minimum length : "
                << minimum << " samples / "
                << static_cast<float>(minimum) / static_cast<float>(s.info.samplerate)
                << " seconds";
           return line.str();
         },
     .detectorResult = kDetectFailed,
     .userWords =
         [](const Subject& s) {
           const int64_t minimum = MinimumFrames(s);
           std::ostringstream why;
           why << "too short: " << s.info.frames << " frames, the analysis needs at least "
               << minimum << " (" << static_cast<double>(minimum) / s.info.samplerate << " s)";
           return why.str();
         }},
};

}  // namespace

int CheckForDetector(Subject& ioSubject) {
  for (const Precondition& row : kPreconditions) {
    if (!row.detectorLine || !row.fails(ioSubject)) continue;
    vx::DiagErr(row.detectorLine(ioSubject));
    if (row.detectorResult != kDetectOk) return row.detectorResult;
    if (row.correct) row.correct(ioSubject);
  }
  return kDetectOk;
}

std::string RefusalFor(const Subject& iSubject) {
  for (const Precondition& row : kPreconditions)
    if (row.userWords && row.fails(iSubject)) return row.userWords(iSubject);
  return {};
}

}  // namespace vxsilence
