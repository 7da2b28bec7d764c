// vxaudio export FILE OUT: writes a range of a file in the format named by
// OUT's extension (OutputFormats.h): integer PCM at the source's depth or
// --bits, or a lossy codec; mono or stereo as the source unless --channels
// says otherwise.
//
// The engine writes into a temporary file next to OUT (OutputFile.h), which
// is renamed to OUT only once the export succeeded: a failed or interrupted
// export leaves nothing behind, and an existing OUT is replaced (with
// --force) only by a complete file, never truncated first.
#include <CLI/CLI.hpp>
#include <sndfile.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "AudioFile.h"
#include "Command.h"
#include "Diagnostics.h"
#include "ExitStatus.h"
#include "FrameRange.h"
#include "InputFile.h"
#include "OutputFile.h"
#include "OutputFormats.h"
#include "OutputPaths.h"
#include "StandardInput.h"

namespace vxcli {
namespace {

struct ExportOptions {
  std::string file;
  std::string out;
  FrameRange range;
  std::optional<int> bits;      // unset: the source's depth when OUT holds it, else 16
  std::optional<int> channels;  // unset: mono stays mono, stereo stereo, more channels mono
  bool force = false;
  std::string type;  // --type: the format written to OUT "-" (default wav)
};

// The format OUT's extension names, or the refusal printed (nullptr).
const OutputFormat* FormatOfOutput(const ExportOptions& o) {
  if (o.out == "-" || !o.type.empty()) {
    // Standard output has no name to take an extension from.
    const OutputFormat* f =
        o.out == "-" ? FormatForExtension(o.type.empty() ? "wav" : o.type) : nullptr;
    if (!f)
      PrintError("export", o.out,
                 o.out != "-" ? "--type applies to OUT - (standard output) only"
                              : "--type " + o.type + " is not one of " + ExtensionList());
    return f;
  }
  const std::string ext = ExtensionOf(o.out);
  if (const OutputFormat* f = FormatForExtension(ext)) return f;
  const std::string reason = ext.empty() ? "has no extension" : "unknown extension \"" + ext + "\"";
  PrintError("export", o.out,
             reason + "; the output extension must be one of " + ExtensionList() + " (any case)");
  return nullptr;
}

// The command line alone, checked before any file is opened: kExitOk or
// kExitUsage (error printed).
int CheckRequest(const ExportOptions& o, const OutputFormat& format) {
  if (o.channels && *o.channels != 1 && *o.channels != 2) {
    PrintError("export", o.out, "--channels " + std::to_string(*o.channels) + " must be 1 or 2");
    return kExitUsage;
  }
  if (!o.bits) return kExitOk;
  if (format.Lossy()) {
    PrintError("export", o.out,
               "--bits applies to PCM formats; " + std::string(format.ext) + " is lossy (" +
                   std::string(format.codec) + ")");
    return kExitUsage;
  }
  if (!IsPcmDepth(*o.bits)) {
    PrintError("export", o.out, "--bits " + std::to_string(*o.bits) + " must be 8, 16, 24 or 32");
    return kExitUsage;
  }
  if (!Holds(format, *o.bits)) {
    PrintError("export", o.out,
               "the " + std::string(format.ext) + " container cannot hold " +
                   std::to_string(*o.bits) + "-bit samples (it takes " + DepthList(format) + ")");
    return kExitUsage;
  }
  return kExitOk;
}

int RunExport(const ExportOptions& o) {
  DiagScope lines;
  const OutputFormat* format = FormatOfOutput(o);
  if (!format) return kExitUsage;
  if (int rc = CheckRequest(o, *format); rc != kExitOk) return rc;
  const bool toStdout = o.out == "-";
  if (toStdout) {
    if (int rc = CheckSoundToStandardOutput("export"); rc != kExitOk) return rc;
  } else if (int rc = RefuseInput("export", o.out, o.file); rc != kExitOk) {
    return rc;
  }
  struct stat st {};
  if (!toStdout && stat(o.out.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      PrintError("export", o.out, "is a directory");
      return kExitFailed;
    }
    if (!o.force) {
      PrintError("export", o.out, "already exists (use --force to replace it)");
      return kExitFailed;
    }
  }

  InputSource in;
  if (int rc = in.Prepare("export", o.file); rc != kExitOk) return rc;
  AudioFile af;
  int32_t start = 0, len = 0;
  if (int rc = OpenAudioRange("export", af, in.path(), o.range, start, len); rc != kExitOk)
    return rc;
  // The engine mixes any channel count down to mono but duplicates only mono
  // into stereo.
  if (o.channels == 2 && af.mChannels > 2) {
    PrintError("export", o.file,
               "has " + std::to_string(af.mChannels) +
                   " channels; stereo export takes mono or stereo sources (--channels 1 "
                   "writes the mixdown of all channels)");
    return kExitUsage;
  }
  const int channels = o.channels.value_or(af.mChannels == 2 ? 2 : 1);
  const int sourceBits = PcmDepthOf(af.mSfInfo ? af.mSfInfo->format : 0);
  const int bits = o.bits.value_or(Holds(*format, sourceBits) ? sourceBits : 16);
  const ExportFormat engine = EngineFormat(*format, bits);
  // The engine would only say "invalid format" or "cannot open"; name the
  // combination instead, before anything is written.
  if (auto why = Unwritable(*format, engine, channels, af.mSampleRate)) {
    PrintError("export", o.out, *why);
    return kExitUsage;
  }

  const std::string target = ReplacedPath(o.out);
  TempFile tmp;
  // Sound for standard output is finished (its header written last) in the
  // temporary folder, then copied out whole.
  if (int err = tmp.Create(toStdout ? JoinPath(TempDir(), "stdout." + std::string(format->ext))
                                    : target)) {
    PrintError("export", o.out, std::string("cannot create the output: ") + std::strerror(err));
    return kExitFailed;
  }
  SF_INFO info{};
  ExportOutcome r = ExportSound(af, tmp.path(), {engine, channels, start, len}, info);
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
  if (toStdout) {
    if (int rc = CopyToStandardOutput("export", tmp.path()); rc != kExitOk) return rc;
  } else if (int err = tmp.MoveTo(target, o.force)) {
    // Without --force an OUT that appeared while exporting is not replaced either.
    PrintError("export", o.out,
               err == EEXIST ? std::string("already exists (use --force to replace it)")
                             : std::string("cannot move the result into place: ") + std::strerror(err));
    return kExitFailed;
  }
  if (info.frames < len) {
    PrintWarning("export", o.file,
                 "the source ended early; wrote " + std::to_string(info.frames) + " of " +
                     std::to_string(len) + " frames");
  }

  const std::string encoding =
      format->Lossy() ? std::string(format->codec) : std::to_string(bits) + "-bit";
  char summary[512];
  std::snprintf(summary, sizeof summary, "%s: %lld frames, %s, %s, %d Hz\n", o.out.c_str(),
                static_cast<long long>(info.frames), encoding.c_str(),
                channels == 1 ? "mono" : "stereo", info.samplerate);
  if (toStdout) {
    // Standard output holds the sound; the summary goes with the messages.
    if (!Quiet()) std::fputs(summary, stderr);
    return kExitOk;
  }
  return WriteResult("export", "", summary);
}

CommandRunner Setup(CLI::App& app) {
  auto o = std::make_shared<ExportOptions>();
  CLI::App* sub = app.add_subcommand(
      "export", "Write a range of a file as PCM or a lossy codec (" + ExtensionList() + ")");
  sub->add_option("FILE", o->file, "Source sound file")->required();
  sub->add_option("OUT", o->out, "Output file; its extension (any case) picks the format")
      ->required();
  AddRangeOptions(sub, o->range);
  sub->add_option("--bits", o->bits,
                  "PCM bits, as the container holds them (default: the source's when it holds "
                  "them, else 16; not for mp3, ogg, opus): 8, 16, 24 or 32");
  sub->add_option("--channels", o->channels,
                  "1 (mono mixdown) or 2 (default: mono stays mono, stereo stays stereo, more "
                  "channels give mono)");
  sub->add_flag("-f,--force", o->force, "Replace OUT when it exists");
  sub->add_option("--type", o->type,
                  "Format written when OUT is - (standard output), as an extension: " +
                      ExtensionList() + " (default wav)");
  AddRawInputOptions(sub);
  return [o] { return RunExport(*o); };
}

CommandRegistration reg(30, &Setup);

}  // namespace
}  // namespace vxcli
