// Post-processing of the detector's raw marks into the final silences.
#include <cstddef>
#include <sstream>
#include <string>

#include "Diag.h"
#include "MarkData.h"

namespace {

void PrintRawTable(const char* iTitle, const std::vector<MarkData>& iMarks) {
  vx::DiagOut(std::string(iTitle) +
              "\tnbFrames\tloudness mean\tloudness standart error \tnoise loud mean : ");
  for (const MarkData& m : iMarks) {
    std::ostringstream row;
    row << m.area.start << '\t' << m.area.end << '\t' << m.nbFrames << "\t\t" << m.RunningMean()
        << "\t\t" << m.RunningSpread() << "\t\t" << m.noiseLoudMean;
    vx::DiagOut(row.str());
  }
}

// Adds the frames and running sums of iFrom to ioInto; the noise weight of
// the absorbing silence stays its own.
void AddRunningSums(MarkData& ioInto, const MarkData& iFrom) {
  ioInto.nbFrames += iFrom.nbFrames;
  ioInto.loudMean += iFrom.loudMean;
  ioInto.loudStdErr += iFrom.loudStdErr;
}

}  // namespace

int ProcessMarks(const std::vector<MarkData>& soundData, std::vector<MarkData>& oSilenceData,
                 float iSampleRate, float iMinSoundDuration, float iMinSilenceDuration,
                 int32_t iVerbose) {
  if (iVerbose) {
    vx::DiagOut("============\n==========");
    PrintRawTable("Sound Marks", soundData);
    PrintRawTable("Silence Marks", oSilenceData);
  }

  // A short sound joins the silence that ends where it starts, together with
  // the silence that follows it. The sound marks themselves stay untouched, so
  // the next short sound finds the grown silence again and a run of blips
  // separated by silences collapses into one silence.
  for (size_t i = 0; i < soundData.size(); ++i) {
    const MarkData& s = soundData[i];
    if (!(s.Duration(iSampleRate) < iMinSoundDuration)) continue;

    size_t j = 0;
    while (j < oSilenceData.size() && oSilenceData[j].area.end != s.area.start) ++j;
    if (j == oSilenceData.size()) {
      if (s.area.start == 0 && i == 0) {
        // A blip at the very start belongs to the first silence. When there
        // is no silence at all the stream was one short sound: nothing to
        // extend, and the result rightly stays without silences.
        if (!oSilenceData.empty()) {
          oSilenceData.front().area.start = 0;
          AddRunningSums(oSilenceData.front(), s);
        }
        continue;
      }
      vx::DiagErr("SilenceDetector: Error with silence/sound parts");
      std::ostringstream line;
      line << "Searching soundData[" << i << "].area.start : " << s.area.start
           << " in oSilenceData.area and cannot find it";
      vx::DiagErr(line.str());
      return 1;
    }

    MarkData& silence = oSilenceData[j];
    if (j + 1 == oSilenceData.size()) {
      silence.area.end = s.area.end;
      AddRunningSums(silence, s);
    } else {
      const MarkData next = oSilenceData[j + 1];
      silence.area.end = next.area.end;
      AddRunningSums(silence, s);
      AddRunningSums(silence, next);
      oSilenceData.erase(oSilenceData.begin() + static_cast<std::ptrdiff_t>(j) + 1);
    }
  }

  for (MarkData& m : oSilenceData) {
    float mean = m.RunningMean();
    float spread = static_cast<float>(m.RunningSpread());
    m.loudMean = mean;
    m.loudStdErr = spread;
  }

  // Judged after absorption: a silence that grew by swallowing blips counts
  // with its grown span.
  std::erase_if(oSilenceData, [&](const MarkData& m) {
    return m.Duration(iSampleRate) < iMinSilenceDuration;
  });

  if (iVerbose) {
    vx::DiagOut("Final Silence Marks : ");
    vx::DiagOut("Silence Marks, loudness mean, loudness standart error, noise loud mean : ");
    for (const MarkData& m : oSilenceData) {
      std::ostringstream row;
      row << m.area.start << '\t' << m.area.end << '\t' << m.loudMean << '\t' << m.loudStdErr
          << '\t' << m.noiseLoudMean;
      vx::DiagOut(row.str());
    }
  }
  return 0;
}
