// vxaudio split FILE OUTDIR: cuts a file at its silences and writes each
// stretch of sound as its own numbered file, with an index of where every
// piece came from (index.json and index.csv).
//
// Every output is written under a hidden temporary name in OUTDIR and renamed
// into place once complete, so that an interrupted run never leaves a
// half-written piece under a real name, and an existing file is replaced only
// with --force (checked for all outputs before the first one is written).
#include <fcntl.h>
#include <sndfile.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "AudioFile.h"
#include "Command.h"
#include "Common.h"
#include "DetectOptions.h"
#include "Diag.h"
#include "SndFile.h"

namespace vxcli {
namespace {

struct SplitOptions {
  std::string file;
  std::string outdir;
  double pad = 0.0;
  DetectOptions detect;
  int bits = 16;
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
// each widened by `pad` frames on both sides. Padding stops at the file's
// ends and at the middle of the silence between two pieces, so that no two
// pieces share a frame.
std::vector<Piece> CutPieces(const std::vector<MarkData>& silences, int64_t frames, int64_t pad,
                             int64_t minSound) {
  std::vector<Piece> sounds;
  int64_t at = 0;
  auto sound = [&](int64_t from, int64_t to) {
    if (to - from > 0 && to - from >= minSound) sounds.push_back({from, to, {}});
  };
  for (const MarkData& m : silences) {
    const int64_t s = std::clamp<int64_t>(m.area.start, 0, frames);
    const int64_t e = std::clamp<int64_t>(m.area.end, 0, frames);
    if (s > at) sound(at, s);
    at = std::max(at, e);
  }
  sound(at, frames);

  std::vector<Piece> pieces = sounds;
  for (size_t i = 0; i < sounds.size(); ++i) {
    const int64_t lo = i == 0 ? 0 : (sounds[i - 1].end + sounds[i].start) / 2;
    const int64_t hi = i + 1 == sounds.size() ? frames : (sounds[i].end + sounds[i + 1].start) / 2;
    pieces[i].start = std::max(lo, sounds[i].start - pad);
    pieces[i].end = std::min(hi, sounds[i].end + pad);
  }
  return pieces;
}

// A hidden file created next to the final name, removed on every way out
// unless it was moved into place.
class TempOutput {
 public:
  TempOutput() = default;
  TempOutput(const TempOutput&) = delete;
  TempOutput& operator=(const TempOutput&) = delete;
  ~TempOutput() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  bool Create(const std::string& dir, const std::string& name, const std::string& ext) {
    std::string tmpl = dir + "/." + name + ".XXXXXX." + ext;
    int fd = mkstemps(tmpl.data(), static_cast<int>(ext.size() + 1));
    if (fd < 0) return false;
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    path_ = tmpl;
    return true;
  }
  // Renames into place; without `replace` an existing name is an error
  // (EEXIST), even one that appeared while this run was writing.
  bool MoveTo(const std::string& out, bool replace) {
    int rc = replace ? rename(path_.c_str(), out.c_str())
                     : renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, out.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && !replace && (errno == EINVAL || errno == ENOSYS)) {
      // File systems without the no-replace rename: a hard link refuses an
      // existing name the same way; the destructor drops the old name.
      return link(path_.c_str(), out.c_str()) == 0;
    }
    if (rc == 0) path_.clear();
    return rc == 0;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string MoveError(int err) {
  return err == EEXIST ? "already exists (use --force to replace it)"
                       : std::string("cannot move the result into place: ") + std::strerror(err);
}

int WriteText(const std::string& dir, const std::string& name, const std::string& text,
              bool force) {
  const std::string out = dir + "/" + name;
  TempOutput tmp;
  const std::string ext = name.substr(name.rfind('.') + 1);
  if (!tmp.Create(dir, name, ext) || WriteResult("split", tmp.path(), text) != kExitOk) {
    if (tmp.path().empty()) PrintError("split", out, std::string("cannot create: ") + std::strerror(errno));
    return kExitFailed;
  }
  if (!tmp.MoveTo(out, force)) {
    PrintError("split", out, MoveError(errno));
    return kExitFailed;
  }
  return kExitOk;
}

// The engine's lines while pieces are exported: its warnings (a stereo
// export always ends with one) are only shown with -v; its errors are kept
// for the failure line.
bool gShowEngine = false;
std::vector<std::string> gEngineErrors;
void ExportSink(vx::DiagStream stream, std::string_view line) {
  if (stream == vx::DiagStream::Err) gEngineErrors.emplace_back(line);
  if (gShowEngine && !Quiet()) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
  }
}

// Makes OUTDIR (and its parents) when missing and checks that files can be
// created in it. `created` tells whether this run made it.
int PrepareOutdir(const std::string& dir, bool& created) {
  created = false;
  struct stat st {};
  if (stat(dir.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      PrintError("split", dir, "is not a directory");
      return kExitFailed;
    }
  } else {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
      PrintError("split", dir, "cannot create the output directory: " + ec.message());
      return kExitFailed;
    }
    created = true;
  }
  // access() is not enough (it says yes to root on a read-only mount): try.
  TempOutput probe;
  if (!probe.Create(dir, "probe", "tmp")) {
    PrintError("split", dir, std::string("cannot write in the output directory: ") +
                                 std::strerror(errno));
    if (created) rmdir(dir.c_str());
    return kExitFailed;
  }
  return kExitOk;
}

int RunSplit(SplitOptions o) {
  InstallDiagSink();
  if (o.bits != 8 && o.bits != 16 && o.bits != 24) {
    PrintError("split", "", "--bits " + std::to_string(o.bits) + " must be 8, 16 or 24");
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
  // Refused before the analysis (8-bit WAV, for one); the three containers
  // take mono and stereo alike, at any rate the detector accepts.
  SF_INFO want{};
  want.samplerate = 44100;
  want.channels = o.channels.value_or(2);
  want.format = (o.ext == "aif" ? SF_FORMAT_AIFF : o.ext == "snd" ? SF_FORMAT_AU : SF_FORMAT_WAV) |
                (o.bits == 8 ? SF_FORMAT_PCM_S8 : o.bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
  if (!sf_format_check(&want)) {
    PrintError("split", "",
               "the " + o.ext + " container cannot hold " + std::to_string(o.bits) +
                   "-bit samples (8-bit pieces need --ext aif or snd)");
    return kExitUsage;
  }
  while (o.outdir.size() > 1 && o.outdir.back() == '/') o.outdir.pop_back();

  if (auto why = UnreadableReason(o.file)) {
    PrintError("split", o.file, *why);
    return kExitFailed;
  }
  bool created = false;
  if (int rc = PrepareOutdir(o.outdir, created); rc != kExitOk) return rc;
  // A directory this run made holds nothing of value when the run fails.
  struct DropCreated {
    const std::string& dir;
    bool armed;
    ~DropCreated() {
      if (armed) rmdir(dir.c_str());
    }
  } dropCreated{o.outdir, created};

  Detection d;
  if (int rc = DetectSilences("split", o.file, o.detect, d); rc != kExitOk) return rc;

  AudioFile af;
  if (int rc = OpenAudio("split", af, o.file); rc != kExitOk) return rc;
  const int channels = o.channels.value_or(std::min(af.mChannels, 2));

  const auto rate = static_cast<double>(d.sampleRate);
  std::vector<Piece> pieces =
      CutPieces(d.silences, d.frames, std::llround(o.pad * rate),
                std::llround(double(o.detect.minSound) * rate));
  const int width = std::max<int>(3, static_cast<int>(std::to_string(pieces.size()).size()));
  for (size_t i = 0; i < pieces.size(); ++i) {
    std::string num = std::to_string(i + 1);
    num.insert(0, size_t(width) - std::min(num.size(), size_t(width)), '0');
    pieces[i].name = "piece-" + num + "." + o.ext;
  }

  // Nothing is written while any output would replace a file without --force.
  if (!o.force) {
    std::vector<std::string> names = {"index.json", "index.csv"};
    for (const Piece& p : pieces) names.push_back(p.name);
    for (const std::string& n : names) {
      struct stat st {};
      if (lstat((o.outdir + "/" + n).c_str(), &st) == 0) {
        PrintError("split", o.outdir + "/" + n, "already exists (use --force to replace it)");
        return kExitFailed;
      }
    }
  }

  gShowEngine = o.detect.verbose;
  vx::SetDiagSink(&ExportSink);
  for (const Piece& p : pieces) {
    const std::string out = o.outdir + "/" + p.name;
    TempOutput tmp;
    if (!tmp.Create(o.outdir, p.name, o.ext)) {
      InstallDiagSink();
      PrintError("split", out, std::string("cannot create: ") + std::strerror(errno));
      return kExitFailed;
    }
    gEngineErrors.clear();
    int rc = af.Export(tmp.path().c_str(), o.bits, channels, static_cast<int32_t>(p.start),
                       static_cast<int32_t>(p.end - p.start));
    SF_INFO info{};
    SndFilePtr check(rc == 0 ? sf_open(tmp.path().c_str(), SFM_READ, &info) : nullptr);
    check.reset();
    if (rc != 0 || info.frames != p.end - p.start) {
      InstallDiagSink();
      std::string why = rc != 0 ? "export failed (engine result " + std::to_string(rc) + ")"
                                : "the source ended early: wrote " + std::to_string(info.frames) +
                                      " of " + std::to_string(p.end - p.start) + " frames";
      if (!gEngineErrors.empty()) why += ": " + gEngineErrors.front();
      PrintError("split", out, why);
      return kExitFailed;
    }
    if (!tmp.MoveTo(out, o.force)) {
      InstallDiagSink();
      PrintError("split", out, MoveError(errno));
      return kExitFailed;
    }
    dropCreated.armed = false;
  }
  InstallDiagSink();

  nlohmann::ordered_json j;
  j["source"] = o.file;
  j["sample_rate"] = d.sampleRate;
  j["frames"] = d.frames;
  j["bits"] = o.bits;
  j["channels"] = channels;
  j["thresholds"] = d.fixed ? "fixed" : "auto";
  j["silence_loudness"] = FloatJson(d.silenceLoudness);
  j["modulation_loudness"] = FloatJson(d.modulationLoudness);
  j["min_silence"] = FloatJson(o.detect.minSilence);
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
  if (WriteText(o.outdir, "index.json", DumpJson(j), o.force) != kExitOk ||
      WriteText(o.outdir, "index.csv", csv, o.force) != kExitOk)
    return kExitFailed;
  dropCreated.armed = false;

  char tail[64];
  std::snprintf(tail, sizeof tail, "%zu piece%s in ", pieces.size(), pieces.size() == 1 ? "" : "s");
  text += tail + o.outdir + " (index.json, index.csv)\n";
  return WriteResult("split", "", text);
}

CommandRunner Setup(CLI::App& app) {
  auto o = std::make_shared<SplitOptions>();
  CLI::App* sub =
      app.add_subcommand("split", "Cut a file at its silences: one numbered file per sound");
  sub->add_option("FILE", o->file, "Sound file (mono or stereo, 44.1 kHz or more)")->required();
  sub->add_option("OUTDIR", o->outdir, "Directory for the pieces and the index (made if missing)")
      ->required();
  sub->add_option("--pad", o->pad,
                  "Seconds of the neighbouring silence kept before and after each sound")
      ->capture_default_str();
  AddDetectOptions(sub, o->detect);
  AddMinSoundOption(sub, o->detect,
                    "Shorter sounds count as silence and get no piece of their own, seconds");
  sub->add_option("--bits", o->bits, "8, 16 (default) or 24");
  sub->add_option("--channels", o->channels, "1 (mono mixdown) or 2 (default: as the source)");
  sub->add_option("--ext", o->ext, "Container of the pieces: wav (default), aif or snd")
      ->check(CLI::IsMember({"wav", "aif", "snd"}));
  sub->add_flag("-f,--force", o->force, "Replace pieces and index files that exist");
  AddQuietFlag(sub);
  return [o] { return RunSplit(*o); };
}

CommandRegistration reg(45, &Setup);

}  // namespace
}  // namespace vxcli
