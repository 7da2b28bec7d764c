// vxaudio export FILE OUT: writes a range of a file as 8, 16 or 24-bit PCM,
// mono or stereo, in the container named by OUT's extension.
//
// The engine writes into a temporary file next to OUT (OutputFile.h), which
// is renamed to OUT only once the export succeeded: a failed or interrupted
// export leaves nothing behind, and an existing OUT is replaced (with
// --force) only by a complete file, never truncated first.
#include <sndfile.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "AudioFile.h"
#include "Command.h"
#include "Diagnostics.h"
#include "ExitStatus.h"
#include "ExportContainers.h"
#include "FrameRange.h"
#include "InputFile.h"
#include "OutputFile.h"

namespace vxcli {
namespace {

struct ExportOptions {
  std::string file;
  std::string out;
  FrameRange range;
  int bits = 16;
  int channels = 2;
  bool force = false;
};

// The extension of OUT's file name: a dot in a folder name does not count.
std::string ExtensionOf(const std::string& out) {
  auto slash = out.rfind('/');
  std::string base = slash == std::string::npos ? out : out.substr(slash + 1);
  auto dot = base.rfind('.');
  return dot == std::string::npos ? std::string() : base.substr(dot + 1);
}

// "aif, wav, snd, olvex, sf": the extensions the engine writes.
std::string ContainerList() {
  std::string list;
  for (const ExportContainer& c : kExportContainers) {
    if (!list.empty()) list += ", ";
    list += c.ext;
  }
  return list;
}

int RunExport(const ExportOptions& o) {
  DiagScope lines;
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
  const int major = ContainerForExtension(ext);
  if (major == 0) {
    std::string reason = ext.empty() ? "has no extension" : "unknown extension \"" + ext + "\"";
    PrintError("export", o.out,
               reason + "; the output extension must be one of " + ContainerList() +
                   " (lower case)");
    return kExitUsage;
  }
  if (int rc = RefuseInput("export", o.out, o.file); rc != kExitOk) return rc;
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
  int32_t start = 0, len = 0;
  if (int rc = OpenAudioRange("export", af, o.file, o.range, start, len); rc != kExitOk) return rc;
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

  const std::string target = ReplacedPath(o.out);
  TempFile tmp;
  if (int err = tmp.Create(target)) {
    PrintError("export", o.out, std::string("cannot create the output: ") + std::strerror(err));
    return kExitFailed;
  }
  SF_INFO info{};
  ExportOutcome r = ExportSound(af, tmp.path(), {o.bits, o.channels, start, len}, info);
  if (!r.reason.empty()) {
    PrintError("export", o.out, r.reason);
    return kExitFailed;
  }
  // Every write succeeded, so a file shorter than asked means a source whose
  // header promises more frames than it holds: the user should hear about it.
  if (info.frames == 0) {
    PrintError("export", o.file, "no frames could be read from the source");
    return kExitFailed;
  }
  // Without --force an OUT that appeared while exporting is not replaced either.
  if (int err = tmp.MoveTo(target, o.force)) {
    PrintError("export", o.out,
               err == EEXIST ? std::string("already exists (use --force to replace it)")
                             : std::string("cannot move the result into place: ") + std::strerror(err));
    return kExitFailed;
  }
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
  CLI::App* sub =
      app.add_subcommand("export", "Write a range of a file as PCM (" + ContainerList() + ")");
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
