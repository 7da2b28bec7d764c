// vxaudio split FILE OUTDIR: cuts a file at its silences and writes each
// stretch of sound as its own numbered file, with an index of where every
// piece came from (index.json and index.csv).
//
// With --labels the silences come from a label track (LabelTrack.h) instead
// of the detector; everything after them is the same.
//
// The pieces and the index are one set (OutputSet): written into a hidden
// staging folder inside OUTDIR and moved into place together once all of
// them are complete, so that a failed or interrupted run leaves OUTDIR as it
// was. An earlier set is replaced only with --force, and then whole.
#include <CLI/CLI.hpp>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "AudioFile.h"
#include "Command.h"
#include "DetectOptions.h"
#include "Diag.h"
#include "Diagnostics.h"
#include "ExitStatus.h"
#include "FrameRange.h"
#include "InputFile.h"
#include "JsonOut.h"
#include "LabelTrack.h"
#include "OutputFile.h"
#include "OutputFormats.h"
#include "StandardInput.h"

namespace vxcli {
namespace {

struct SplitOptions {
  std::string file;
  std::string outdir;
  double pad = 0.0;
  DetectOptions detect;
  std::optional<std::string> labels;  // the track to cut at, instead of detecting
  FrameRange range;
  std::optional<int> bits;      // unset: 16 (PCM formats)
  std::optional<int> channels;  // unset: as the source (mono or stereo)
  std::string ext = "wav";
  bool force = false;
};

// One piece: the exported source range [start, end) in frames.
struct Piece {
  int64_t start = 0;
  int64_t end = 0;
  std::string name;
};

// The sound stretches between the silences, without those shorter than
// `minSound` frames (the detector already absorbs short sounds between two
// silences; this catches a click before the first or after the last one),
// each widened by `pad` frames on both sides; all within [from, to), the
// range split. Padding stops at the range's ends and at the middle of the
// silence between two pieces, so that no two pieces share a frame.
std::vector<Piece> CutPieces(const std::vector<MarkData>& silences, int64_t from, int64_t to,
                             int64_t pad, int64_t minSound) {
  std::vector<Piece> sounds;
  int64_t at = from;
  auto sound = [&](int64_t from, int64_t to) {
    if (to - from > 0 && to - from >= minSound) sounds.push_back({from, to, {}});
  };
  for (const MarkData& m : silences) {
    const int64_t s = std::clamp<int64_t>(m.area.start, from, to);
    const int64_t e = std::clamp<int64_t>(m.area.end, from, to);
    if (s > at) sound(at, s);
    at = std::max(at, e);
  }
  sound(at, to);

  std::vector<Piece> pieces = sounds;
  for (size_t i = 0; i < sounds.size(); ++i) {
    const int64_t lo = i == 0 ? from : (sounds[i - 1].end + sounds[i].start) / 2;
    const int64_t hi = i + 1 == sounds.size() ? to : (sounds[i].end + sounds[i + 1].start) / 2;
    pieces[i].start = std::max(lo, sounds[i].start - pad);
    pieces[i].end = std::min(hi, sounds[i].end + pad);
  }
  return pieces;
}

const std::vector<std::string> kIndexNames = {"index.json", "index.csv"};

// "piece-" and at least three digits, in one of the formats split writes:
// the names of every run's pieces, whatever their count or --ext.
bool IsPieceName(std::string_view name) {
  if (name.substr(0, 6) != "piece-") return false;
  name.remove_prefix(6);
  size_t digits = 0;
  while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9') ++digits;
  const std::string_view ext = name.substr(std::min(digits + 1, name.size()));
  return digits >= 3 && digits < name.size() && name[digits] == '.' &&
         FormatForExtension(ext) != nullptr;
}

// The pieces of earlier runs in `dir` (files, or links, named like pieces).
std::vector<std::string> EarlierPieces(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(dir, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    if (IsPieceName(it->path().filename().string()) && !it->is_directory(ec))
      names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// An input (`what`: the source or the label track) must be none of the files
// a run may write or remove: the index, the new pieces, the pieces of earlier
// runs. Exit 2 when it is.
int RefuseInputAmong(const std::string& dir, const std::string& input,
                     const std::vector<std::string>& pieces,
                     std::string_view what = "the source file") {
  std::vector<std::string> names = kIndexNames;
  names.insert(names.end(), pieces.begin(), pieces.end());
  for (const std::string& n : EarlierPieces(dir)) names.push_back(n);
  for (const std::string& n : names)
    if (NamesInput(dir + "/" + n, input)) {
      PrintError("split", dir + "/" + n,
                 "names " + std::string(what) + " itself; refusing to overwrite it");
      return kExitUsage;
    }
  return kExitOk;
}

// The silences of a label track within the range of the file at `path`,
// which `af` opens, as a detection would give them.
int LabelledSilences(const SplitOptions& o, const std::string& path,
                     const std::vector<Label>& track, AudioFile& af, Detection& d) {
  if (int rc = OpenAudio("split", af, path); rc != kExitOk) return rc;
  if (af.mChannels > 2) {
    PrintError("split", ShownName(path),
               "has " + std::to_string(af.mChannels) +
                   " channels; only mono and stereo files are split");
    return kExitFailed;
  }
  d.sampleRate = af.mSampleRate;
  d.frames = af.mSmpNb;
  int32_t start = 0, len = 0;
  if (int rc = CheckRange("split", ShownName(path), o.range, d.frames, d.sampleRate, start, len);
      rc != kExitOk)
    return rc;
  d.SetRange(start, len);
  const std::vector<Label> silences = SilenceLabels(track);
  d.silences = LabelFrames(silences, d.sampleRate, d.rangeStart, d.RangeEnd());
  if (silences.empty())
    PrintWarning("split", *o.labels, "no label marks a stretch; the whole range is one piece");
  if (Verbose())
    vx::DiagOut("label track " + *o.labels + ": " + std::to_string(track.size()) + " labels, " +
                std::to_string(silences.size()) + " taken as silences, " +
                std::to_string(d.silences.size()) + " silences once rounded, clipped and merged");
  return kExitOk;
}

int RunSplit(SplitOptions o) {
  DiagScope lines;
  const OutputFormat* format = FormatForExtension(o.ext);
  if (!format) {
    PrintError("split", "", "--ext " + o.ext + " must be one of " + ExtensionList());
    return kExitUsage;
  }
  o.ext = format->ext;  // pieces are named in lower case
  if (o.bits && format->Lossy()) {
    PrintError("split", "", "--bits applies to PCM formats; " + o.ext + " is lossy");
    return kExitUsage;
  }
  const int bits = o.bits.value_or(16);
  if (bits != 8 && bits != 16 && bits != 24) {
    PrintError("split", "", "--bits " + std::to_string(bits) + " must be 8, 16 or 24");
    return kExitUsage;
  }
  if (o.channels && *o.channels != 1 && *o.channels != 2) {
    PrintError("split", "", "--channels " + std::to_string(*o.channels) + " must be 1 or 2");
    return kExitUsage;
  }
  if (!(std::isfinite(o.pad) && o.pad >= 0.0 && o.pad <= 3600.0)) {
    PrintError("split", "", "--pad must be a number of seconds from 0 to 3600");
    return kExitUsage;
  }
  if (int rc = CheckDetectOptions("split", o.detect); rc != kExitOk) return rc;
  if (o.labels == "-" && (o.file == "-" || isatty(STDIN_FILENO) == 1)) {
    PrintError("split", "",
               o.file == "-" ? "--labels - and FILE - would both read standard input; name the "
                               "label track by its path"
                             : "--labels -: standard input is a terminal; pipe or redirect a label "
                               "track into it");
    return kExitUsage;
  }
  // Refused before the analysis (8-bit WAV, for one); the rate is checked
  // once the source is open.
  if (!format->Lossy() && !Holds(*format, bits)) {
    PrintError("split", "",
               "the " + o.ext + " container cannot hold " + std::to_string(bits) +
                   "-bit samples (" + std::to_string(bits) + "-bit pieces need --ext " +
                   ExtensionsHolding(bits) + ")");
    return kExitUsage;
  }
  const ExportFormat engineFormat = EngineFormat(*format, bits);
  while (o.outdir.size() > 1 && o.outdir.back() == '/') o.outdir.pop_back();

  InputSource in;
  if (int rc = in.Prepare("split", o.file); rc != kExitOk) return rc;
  if (auto why = UnreadableReason(in.path())) {
    PrintError("split", o.file, *why);
    return kExitFailed;
  }
  // Checked before anything is made, and again once the pieces are known.
  // The label track is an input too.
  const bool labelFile = o.labels && *o.labels != "-";
  if (int rc = RefuseInputAmong(o.outdir, o.file, {}); rc != kExitOk) return rc;
  if (labelFile)
    if (int rc = RefuseInputAmong(o.outdir, *o.labels, {}, "the label track"); rc != kExitOk)
      return rc;
  std::vector<Label> track;
  if (o.labels)
    if (int rc = ReadLabelTrack("split", *o.labels, track); rc != kExitOk) return rc;
  OutputSet set("split", o.outdir);
  if (int rc = set.Open(); rc != kExitOk) return rc;

  Detection d;
  AudioFile af;
  if (o.labels) {
    if (int rc = LabelledSilences(o, in.path(), track, af, d); rc != kExitOk) return rc;
  } else {
    if (int rc = DetectSilences("split", in.path(), o.detect, d, &o.range); rc != kExitOk)
      return rc;
    if (int rc = OpenAudio("split", af, in.path()); rc != kExitOk) return rc;
  }
  const int channels = o.channels.value_or(std::min(af.mChannels, 2));
  if (auto why = Unwritable(*format, engineFormat, channels, af.mSampleRate)) {
    PrintError("split", "", *why);
    return kExitUsage;
  }

  const auto rate = static_cast<double>(d.sampleRate);
  // Also with a label track: a sound shorter than --min-sound gets no piece
  // (a silence the detector ends a frame before the end of the file, written
  // as a label, must not leave a one-frame piece behind).
  std::vector<Piece> pieces =
      CutPieces(d.silences, d.rangeStart, d.RangeEnd(), std::llround(o.pad * rate),
                std::llround(double(o.detect.minSound) * rate));
  const int width = std::max<int>(3, static_cast<int>(std::to_string(pieces.size()).size()));
  std::vector<std::string> names;
  for (size_t i = 0; i < pieces.size(); ++i) {
    std::string num = std::to_string(i + 1);
    num.insert(0, size_t(width) - std::min(num.size(), size_t(width)), '0');
    pieces[i].name = "piece-" + num + "." + o.ext;
    names.push_back(pieces[i].name);
  }
  if (int rc = RefuseInputAmong(o.outdir, o.file, names); rc != kExitOk) return rc;
  if (labelFile)
    if (int rc = RefuseInputAmong(o.outdir, *o.labels, names, "the label track"); rc != kExitOk)
      return rc;

  // Without --force an earlier set stops the run before anything is written;
  // with it, the earlier set is replaced whole: its pieces that the new set
  // lacks go, so that the index describes exactly the pieces on disk.
  std::vector<std::string> targets = kIndexNames;
  targets.insert(targets.end(), names.begin(), names.end());
  std::vector<std::string> obsolete;
  for (const std::string& n : EarlierPieces(o.outdir))
    if (std::find(names.begin(), names.end(), n) == names.end()) obsolete.push_back(n);
  if (!o.force) targets.insert(targets.end(), obsolete.begin(), obsolete.end());
  for (const std::string& n : targets) {
    struct stat st {};
    if (lstat((o.outdir + "/" + n).c_str(), &st) != 0) continue;
    if (o.force && !S_ISDIR(st.st_mode)) continue;
    PrintError("split", o.outdir + "/" + n,
               S_ISDIR(st.st_mode) ? "is a directory" : "already exists (use --force to replace it)");
    return kExitFailed;
  }

  // The engine's lines while pieces are exported: its warnings (a stereo
  // export always ends with one) are only shown with -v; its errors are
  // kept for the failure line.
  const bool showEngine = Verbose();
  for (const Piece& p : pieces) {
    const std::string out = o.outdir + "/" + p.name;
    LineCollector engine(showEngine, showEngine);
    SF_INFO info{};
    const SoundRange piece{engineFormat, channels, static_cast<int32_t>(p.start),
                           static_cast<int32_t>(p.end - p.start)};
    ExportOutcome r = ExportSound(af, set.Staged(p.name), piece, info, false);
    if (!r.reason.empty() || info.frames != p.end - p.start) {
      std::string why = !r.reason.empty()
                            ? r.reason
                            : "the source ended early: wrote " + std::to_string(info.frames) +
                                  " of " + std::to_string(p.end - p.start) + " frames";
      // A failed write has the system's reason alone; the engine's line
      // would only repeat it.
      if (r.writeError == 0 && engine.HasError()) why += ": " + engine.FirstError();
      PrintError("split", out, why);
      return kExitFailed;
    }
  }

  nlohmann::ordered_json j;
  j["source"] = o.file;
  j["sample_rate"] = d.sampleRate;
  j["frames"] = d.frames;
  j["bits"] = format->Lossy() ? nlohmann::ordered_json() : nlohmann::ordered_json(bits);
  j["channels"] = channels;
  if (o.labels) {
    // No detector ran: its settings have no value.
    j["thresholds"] = "labels";
    j["labels"] = *o.labels;
    for (const char* key : {"silence_loudness", "modulation_loudness", "min_silence"})
      j[key] = nullptr;
  } else {
    j["thresholds"] = d.fixed ? "fixed" : "auto";
    j["silence_loudness"] = FloatJson(d.silenceLoudness);
    j["modulation_loudness"] = FloatJson(d.modulationLoudness);
    j["min_silence"] = FloatJson(o.detect.minSilence);
  }
  j["min_sound"] = FloatJson(o.detect.minSound);
  j["pad"] = o.pad;
  auto list = nlohmann::ordered_json::array();
  std::string csv = "index,file,start,end,frames,start_s,end_s\n";
  std::string text;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const Piece& p = pieces[i];
    nlohmann::ordered_json e;
    e["index"] = i + 1;
    e["file"] = p.name;
    e["start"] = p.start;
    e["end"] = p.end;
    e["frames"] = p.end - p.start;
    e["start_s"] = JsonNumber(p.start / rate);
    e["end_s"] = JsonNumber(p.end / rate);
    list.push_back(std::move(e));
    csv += std::to_string(i + 1) + "," + p.name + "," + std::to_string(p.start) + "," +
           std::to_string(p.end) + "," + std::to_string(p.end - p.start) + "," +
           Seconds(p.start, d.sampleRate) + "," + Seconds(p.end, d.sampleRate) + "\n";
    char line[256];
    std::snprintf(line, sizeof line, "%s  %11lld %11lld  %10.3f s %10.3f s\n",
                  p.name.c_str(), static_cast<long long>(p.start),
                  static_cast<long long>(p.end), p.start / rate, p.end / rate);
    text += line;
  }
  j["pieces"] = std::move(list);
  if (set.StageText("index.json", DumpJson(j)) != kExitOk ||
      set.StageText("index.csv", csv) != kExitOk)
    return kExitFailed;
  // The pieces first, the index last.
  names.insert(names.end(), kIndexNames.begin(), kIndexNames.end());
  if (int rc = set.Commit(names, obsolete, o.force); rc != kExitOk) return rc;

  char tail[64];
  std::snprintf(tail, sizeof tail, "%zu piece%s in ", pieces.size(), pieces.size() == 1 ? "" : "s");
  text += tail + o.outdir + " (index.json, index.csv)\n";
  return WriteResult("split", "", text);
}

CommandRunner Setup(CLI::App& app) {
  auto o = std::make_shared<SplitOptions>();
  CLI::App* sub =
      app.add_subcommand("split", "Cut a file at its silences: one numbered file per sound");
  sub->add_option("FILE", o->file, "Sound file (mono or stereo)")->required();
  AddRawInputOptions(sub);
  sub->add_option("OUTDIR", o->outdir, "Directory for the pieces and the index (made if missing)")
      ->required();
  sub->add_option("--pad", o->pad,
                  "Seconds of the neighbouring silence kept before and after each sound")
      ->capture_default_str();
  AddRangeOptions(sub, o->range);
  const size_t before = sub->get_options().size();
  AddDetectOptions(sub, o->detect,
                   "Shorter sounds count as silence and get no piece of their own, seconds");
  CLI::Option* labels =
      sub->add_option("--labels", o->labels,
                      "Cut at the silences of this label track instead of detecting them "
                      "(START<tab>END<tab>TEXT lines in seconds, as 'vxaudio silence --format "
                      "labels' writes; - reads standard input): the labels named silence, or "
                      "all when none is, taken as they are; a point label (START = END) is no "
                      "silence. Not with the detector's options but --min-sound")
          ->type_name("TRACK");
  // --min-sound stays: it also says which stretches between silences are too
  // short to be pieces.
  const std::vector<CLI::Option*> detect = sub->get_options();
  for (size_t i = before; i + 1 < detect.size(); ++i)
    if (!detect[i]->check_lname("min-sound")) labels->excludes(detect[i]);
  sub->add_option("--bits", o->bits, "8, 16 (default) or 24; not for mp3, ogg, opus");
  sub->add_option("--channels", o->channels, "1 (mono mixdown) or 2 (default: as the source)");
  sub->add_option("--ext", o->ext,
                  "Format of the pieces by extension (default wav): " + ExtensionList());
  sub->add_flag("-f,--force", o->force, "Replace pieces and index files that exist");
  return [o] { return RunSplit(*o); };
}

CommandRegistration reg(45, &Setup);

}  // namespace
}  // namespace vxcli
