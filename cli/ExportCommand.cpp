// vxaudio export FILE OUT: writes a range of a file as 8, 16 or 24-bit PCM,
// mono or stereo, in the container named by OUT's extension.
//
// The engine writes into a hidden temporary file next to OUT, which is renamed
// to OUT only once the export succeeded: a failed export leaves nothing
// behind, and an existing OUT is replaced (with --force) only by a complete
// file, never truncated first.
#include <fcntl.h>
#include <sndfile.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "AudioFile.h"
#include "Command.h"
#include "Common.h"
#include "SndFile.h"

namespace vxcli {
namespace {

// The containers the engine knows, by exact (lower-case) extension.
struct Container {
  std::string_view ext;
  int format;
};
constexpr std::array<Container, 5> kContainers = {{{"aif", SF_FORMAT_AIFF},
                                                   {"wav", SF_FORMAT_WAV},
                                                   {"snd", SF_FORMAT_AU},
                                                   {"olvex", SF_FORMAT_IRCAM},
                                                   {"sf", SF_FORMAT_IRCAM}}};

struct ExportOptions {
  std::string file;
  std::string out;
  FrameRange range;
  int bits = 16;
  int channels = 2;
  bool force = false;
};

// Removes the temporary output on every way out unless it was handed over.
class TempOutput {
 public:
  TempOutput() = default;
  TempOutput(const TempOutput&) = delete;
  TempOutput& operator=(const TempOutput&) = delete;
  ~TempOutput() {
    if (!path_.empty()) unlink(path_.c_str());
  }

  // Creates "<dir>/.<name>.XXXXXX.<ext>" with the permissions a new file
  // would get, so that the renamed result looks like any other new file.
  bool Create(const std::string& out, std::string_view ext) {
    auto slash = out.rfind('/');
    std::string dir = slash == std::string::npos ? "" : out.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? out : out.substr(slash + 1);
    std::string tmpl = dir + "." + base + ".XXXXXX." + std::string(ext);
    int fd = mkstemps(tmpl.data(), static_cast<int>(ext.size() + 1));
    if (fd < 0) return false;
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    path_ = tmpl;
    return true;
  }
  const std::string& path() const { return path_; }
  void Release() { path_.clear(); }

 private:
  std::string path_;
};

std::string ExtensionOf(const std::string& out) {
  auto slash = out.rfind('/');
  std::string base = slash == std::string::npos ? out : out.substr(slash + 1);
  auto dot = base.rfind('.');
  return dot == std::string::npos ? std::string() : base.substr(dot + 1);
}

std::string EngineReason(int rc) {
  switch (rc) {
    case -1: return "the output file could not be opened for writing";
    case -2: return "unsupported bit depth";
    case -3: return "unsupported channel count";
    case 2: return "this container does not take these settings";
    case 3: return "the source's text metadata could not be copied";
    case 4: return "reading the source failed";
    default: return "export failed (engine result " + std::to_string(rc) + ")";
  }
}

// Moves the finished file into place. Without --force an OUT that appeared
// while exporting is not replaced either.
int Publish(TempOutput& tmp, const std::string& out, bool force) {
  int rc = force ? rename(tmp.path().c_str(), out.c_str())
                 : renameat2(AT_FDCWD, tmp.path().c_str(), AT_FDCWD, out.c_str(), RENAME_NOREPLACE);
  bool linked = false;
  if (rc != 0 && !force && (errno == EINVAL || errno == ENOSYS)) {
    // File systems without the no-replace rename: a hard link refuses an
    // existing name the same way.
    rc = link(tmp.path().c_str(), out.c_str());
    linked = rc == 0;
  }
  if (rc != 0) {
    int err = errno;
    PrintError("export", out,
               err == EEXIST ? "already exists (use --force to replace it)"
                             : std::string("cannot move the result into place: ") + std::strerror(err));
    return kExitFailed;
  }
  if (!linked) tmp.Release();  // renamed away; after link() the destructor drops the old name
  return kExitOk;
}

int RunExport(const ExportOptions& o) {
  InstallDiagSink();
  // Everything about the command line is checked before any file is opened.
  if (o.bits != 8 && o.bits != 16 && o.bits != 24) {
    PrintError("export", o.out, "--bits " + std::to_string(o.bits) + " must be 8, 16 or 24");
    return kExitUsage;
  }
  if (o.channels != 1 && o.channels != 2) {
    PrintError("export", o.out, "--channels " + std::to_string(o.channels) + " must be 1 or 2");
    return kExitUsage;
  }
  const std::string ext = ExtensionOf(o.out);
  int major = 0;
  for (const auto& c : kContainers)
    if (c.ext == ext) major = c.format;
  if (major == 0) {
    std::string reason = ext.empty() ? "has no extension" : "unknown extension \"" + ext + "\"";
    PrintError("export", o.out,
               reason + "; the output extension must be one of aif, wav, snd, olvex, sf "
                        "(lower case)");
    return kExitUsage;
  }
  if (SameFile(o.out, o.file)) {
    PrintError("export", o.out, "names the source file itself; refusing to overwrite it");
    return kExitUsage;
  }
  struct stat st {};
  if (stat(o.out.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      PrintError("export", o.out, "is a directory");
      return kExitFailed;
    }
    if (!o.force) {
      PrintError("export", o.out, "already exists (use --force to replace it)");
      return kExitFailed;
    }
  }

  AudioFile af;
  if (int rc = OpenAudio("export", af, o.file); rc != kExitOk) return rc;
  int32_t start = 0, len = 0;
  if (int rc = CheckRange("export", o.file, o.range, af.mSmpNb, start, len); rc != kExitOk)
    return rc;
  if (o.channels == 2 && af.mChannels > 2) {
    PrintError("export", o.file,
               "has " + std::to_string(af.mChannels) +
                   " channels; stereo export takes mono or stereo sources (--channels 1 "
                   "writes the mixdown of all channels)");
    return kExitFailed;
  }

  // The engine would only say "invalid format"; name the combination instead.
  SF_INFO want{};
  want.samplerate = af.mSampleRate;
  want.channels = o.channels;
  want.format = major | (o.bits == 8 ? SF_FORMAT_PCM_S8 : o.bits == 16 ? SF_FORMAT_PCM_16
                                                                        : SF_FORMAT_PCM_24);
  if (!sf_format_check(&want)) {
    PrintError("export", o.out,
               "the " + ext + " container cannot hold " + std::to_string(o.bits) + "-bit " +
                   (o.channels == 1 ? "mono" : "stereo") + " samples at " +
                   std::to_string(af.mSampleRate) + " Hz");
    return kExitUsage;
  }

  TempOutput tmp;
  if (!tmp.Create(o.out, ext)) {
    PrintError("export", o.out, std::string("cannot create the output: ") + std::strerror(errno));
    return kExitFailed;
  }
  int rc = af.Export(tmp.path().c_str(), o.bits, o.channels, start, len);
  if (rc != 0) {
    PrintError("export", o.out, EngineReason(rc));
    return kExitFailed;
  }

  // Check what was written: a source whose header promises more frames than
  // it holds yields a shorter file, which the user should hear about.
  SF_INFO info{};
  SndFilePtr check(sf_open(tmp.path().c_str(), SFM_READ, &info));
  if (!check) {
    PrintError("export", o.out, std::string("the written file does not read back: ") +
                                    sf_strerror(nullptr));
    return kExitFailed;
  }
  check.reset();
  if (info.frames == 0) {
    PrintError("export", o.file, "no frames could be read from the source");
    return kExitFailed;
  }
  if (int prc = Publish(tmp, o.out, o.force); prc != kExitOk) return prc;
  if (info.frames < len) {
    PrintError("export", o.file,
               "warning: the source ended early; wrote " + std::to_string(info.frames) + " of " +
                   std::to_string(len) + " frames");
  }

  char summary[512];
  std::snprintf(summary, sizeof summary, "%s: %lld frames, %d-bit, %s, %d Hz\n", o.out.c_str(),
                static_cast<long long>(info.frames), o.bits, o.channels == 1 ? "mono" : "stereo",
                info.samplerate);
  return WriteResult("export", "", summary);
}

CommandRunner Setup(CLI::App& app) {
  auto o = std::make_shared<ExportOptions>();
  CLI::App* sub = app.add_subcommand("export", "Write a range of a file as PCM (aif, wav, snd, olvex, sf)");
  sub->add_option("FILE", o->file, "Source sound file")->required();
  sub->add_option("OUT", o->out, "Output file; its extension picks the container")->required();
  AddRangeOptions(sub, o->range);
  sub->add_option("--bits", o->bits, "8, 16 (default) or 24");
  sub->add_option("--channels", o->channels, "1 (mono mixdown) or 2 (default)");
  sub->add_flag("-f,--force", o->force, "Replace OUT when it exists");
  AddQuietFlag(sub);
  return [o] { return RunExport(*o); };
}

CommandRegistration reg(30, &Setup);

}  // namespace
}  // namespace vxcli
