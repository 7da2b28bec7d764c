#include "StandardInput.h"

#include <CLI/CLI.hpp>
#include <sndfile.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "Diagnostics.h"
#include "ExitStatus.h"
#include "OutputFile.h"
#include "OutputPaths.h"
#include "SndFile.h"

namespace vxcli {
namespace {

// ---- headerless sound ----

struct RawEncoding {
  const char* name;
  int read;   // libsndfile subtype and byte order of the bytes given
  int write;  // the WAV subtype that holds the same samples exactly
};

constexpr RawEncoding kEncodings[] = {
    {"s8", SF_FORMAT_PCM_S8, SF_FORMAT_PCM_U8},  // WAV keeps 8 bits unsigned
    {"u8", SF_FORMAT_PCM_U8, SF_FORMAT_PCM_U8},
    {"s16le", SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE, SF_FORMAT_PCM_16},
    {"s16be", SF_FORMAT_PCM_16 | SF_ENDIAN_BIG, SF_FORMAT_PCM_16},
    {"s24le", SF_FORMAT_PCM_24 | SF_ENDIAN_LITTLE, SF_FORMAT_PCM_24},
    {"s24be", SF_FORMAT_PCM_24 | SF_ENDIAN_BIG, SF_FORMAT_PCM_24},
    {"s32le", SF_FORMAT_PCM_32 | SF_ENDIAN_LITTLE, SF_FORMAT_PCM_32},
    {"s32be", SF_FORMAT_PCM_32 | SF_ENDIAN_BIG, SF_FORMAT_PCM_32},
    {"f32le", SF_FORMAT_FLOAT | SF_ENDIAN_LITTLE, SF_FORMAT_FLOAT},
    {"f32be", SF_FORMAT_FLOAT | SF_ENDIAN_BIG, SF_FORMAT_FLOAT},
    {"f64le", SF_FORMAT_DOUBLE | SF_ENDIAN_LITTLE, SF_FORMAT_DOUBLE},
    {"f64be", SF_FORMAT_DOUBLE | SF_ENDIAN_BIG, SF_FORMAT_DOUBLE},
    {"ulaw", SF_FORMAT_ULAW, SF_FORMAT_ULAW},
    {"alaw", SF_FORMAT_ALAW, SF_FORMAT_ALAW},
};

// One command runs per process, so the options of whichever one was parsed.
struct RawOptions {
  std::optional<int> rate;
  std::optional<int> channels;
  std::optional<std::string> encoding;

  bool Any() const { return rate || channels || encoding; }
  bool All() const { return rate && channels && encoding; }
};
RawOptions gRaw;

const RawEncoding* EncodingNamed(const std::string& name) {
  for (const RawEncoding& e : kEncodings)
    if (name == e.name) return &e;
  return nullptr;
}

// ---- what the user called each temporary ----

std::mutex gNamesMutex;
std::map<std::string, std::string>& Names() {
  static std::map<std::string, std::string> names;
  return names;
}

void Name(const std::string& path, const std::string& shown) {
  std::lock_guard lock(gNamesMutex);
  Names()[path] = shown;
}

void Forget(const std::string& path) {
  std::lock_guard lock(gNamesMutex);
  Names().erase(path);
}

std::atomic<bool> gStandardInputTaken{false};

// ---- copying ----

// Copies all of `from` into `to`; 0 or the errno value of the failure, with
// `oReading` telling which side failed.
int CopyAll(int from, int to, bool& oReading) {
  std::vector<char> buf(1 << 16);
  for (;;) {
    const ssize_t n = read(from, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    oReading = true;
    if (n < 0) return errno;
    if (n == 0) return 0;
    oReading = false;
    if (int err = WriteAll(to, std::string_view(buf.data(), size_t(n)))) return err;
  }
}

// Standard input into `spool`; the reason it failed, or empty.
std::string Spool(TempFile& spool) {
  if (int err = spool.Create(JoinPath(TempDir(), "stdin")))
    return std::string("cannot create a temporary file in ") + TempDir() + ": " +
           std::strerror(err);
  std::vector<char> buf(1 << 16);
  size_t total = 0;
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::string("reading standard input failed: ") + std::strerror(errno);
    if (n == 0) break;
    total += size_t(n);
    if (int err = spool.Write(std::string_view(buf.data(), size_t(n))))
      return std::string("copying standard input to ") + TempDir() +
             " failed: " + std::strerror(err);
  }
  if (total == 0) return "standard input is empty";
  return {};
}

// The headerless sound at `from` as a WAV file in `wav`; the reason it
// failed, or empty.
std::string ToWav(const std::string& from, TempFile& wav) {
  const RawEncoding* enc = EncodingNamed(*gRaw.encoding);
  SF_INFO in{};
  in.samplerate = *gRaw.rate;
  in.channels = *gRaw.channels;
  in.format = SF_FORMAT_RAW | enc->read;
  SndFilePtr src(sf_open(from.c_str(), SFM_READ, &in));
  if (!src)
    return std::string("cannot read it as headerless sound: ") + sf_strerror(nullptr);
  if (in.frames <= 0)
    return "holds less than one frame of " + std::to_string(*gRaw.channels) + "-channel " +
           enc->name + " sound";
  if (int err = wav.Create(JoinPath(TempDir(), "raw.wav")))
    return std::string("cannot create a temporary file in ") + TempDir() + ": " +
           std::strerror(err);
  SF_INFO out{};
  out.samplerate = in.samplerate;
  out.channels = in.channels;
  out.format = SF_FORMAT_WAV | enc->write;
  SndFilePtr dst(sf_open(wav.path().c_str(), SFM_WRITE, &out));
  if (!dst) return std::string("cannot write the WAV copy: ") + sf_strerror(nullptr);
  // Doubles carry every sample of each encoding exactly.
  std::vector<double> frames(size_t(4096) * size_t(in.channels));
  for (;;) {
    const sf_count_t n = sf_readf_double(src.get(), frames.data(), 4096);
    if (n <= 0) break;
    if (sf_writef_double(dst.get(), frames.data(), n) != n)
      return std::string("writing the WAV copy failed: ") + sf_strerror(dst.get());
  }
  if (sf_close(dst.release()) != 0) return "finishing the WAV copy failed";
  return {};
}

}  // namespace

void AddRawInputOptions(CLI::App* sub) {
  std::string names;
  std::vector<std::string> members;
  for (const RawEncoding& e : kEncodings) {
    names += names.empty() ? e.name : std::string(", ") + e.name;
    members.emplace_back(e.name);
  }
  sub->add_option("--raw-rate", gRaw.rate,
                  "Read the input as headerless sound at this sample rate (with --raw-channels "
                  "and --raw-encoding; FILE may be - for standard input)")
      ->check(CLI::Range(1, 1000000));
  sub->add_option("--raw-channels", gRaw.channels, "Channels of headerless input")
      ->check(CLI::Range(1, 64));
  sub->add_option("--raw-encoding", gRaw.encoding, "Samples of headerless input: " + names)
      ->check(CLI::IsMember(members));
}

int CheckRawOptions(std::string_view command) {
  if (!gRaw.Any() || gRaw.All()) return kExitOk;
  PrintError(command, "",
             "headerless input needs all of --raw-rate, --raw-channels and --raw-encoding");
  return kExitUsage;
}

std::string TempDir() {
  const char* dir = std::getenv("TMPDIR");
  return dir && *dir ? dir : "/tmp";
}

std::string ShownName(const std::string& path) {
  std::lock_guard lock(gNamesMutex);
  const auto it = Names().find(path);
  return it == Names().end() ? path : it->second;
}

InputSource::InputSource() = default;

InputSource::~InputSource() {
  if (spool_) Forget(spool_->path());
  if (wav_) Forget(wav_->path());
}

int InputSource::TryPrepare(const std::string& named, std::string& oWhy) {
  path_ = named;
  if (gRaw.Any() && !gRaw.All()) {
    oWhy = "headerless input needs all of --raw-rate, --raw-channels and --raw-encoding";
    return kExitUsage;
  }
  if (named == "-") {
    if (gStandardInputTaken.exchange(true)) {
      oWhy = "standard input can be read only once; name - as one input only";
      return kExitUsage;
    }
    if (isatty(STDIN_FILENO) == 1) {
      oWhy = "standard input is a terminal; pipe or redirect a sound file into it";
      return kExitUsage;
    }
    spool_ = std::make_unique<TempFile>();
    if (std::string why = Spool(*spool_); !why.empty()) {
      oWhy = why;
      return kExitFailed;
    }
    path_ = spool_->path();
    Name(path_, named);
  }
  if (gRaw.All()) {
    wav_ = std::make_unique<TempFile>();
    if (std::string why = ToWav(path_, *wav_); !why.empty()) {
      oWhy = why;
      return kExitFailed;
    }
    // The bytes as they came are no longer needed.
    if (spool_) {
      Forget(spool_->path());
      spool_.reset();
    }
    path_ = wav_->path();
    Name(path_, named);
  }
  return kExitOk;
}

int InputSource::Prepare(std::string_view command, const std::string& named) {
  std::string why;
  const int rc = TryPrepare(named, why);
  if (rc != kExitOk) PrintError(command, named, why);
  return rc;
}

int CheckSoundToStandardOutput(std::string_view command) {
  if (isatty(STDOUT_FILENO) != 1) return kExitOk;
  PrintError(command, "-",
             "standard output is a terminal; redirect it to a file or a pipe to write sound there");
  return kExitUsage;
}

int CopyToStandardOutput(std::string_view command, const std::string& path) {
  std::fflush(stdout);
  // A reader that went away is a failed write to report (and the temporary
  // still removed), not the end of the program.
  signal(SIGPIPE, SIG_IGN);
  UniqueFd in(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  bool reading = true;
  const int err = in ? CopyAll(in.get(), STDOUT_FILENO, reading) : errno;
  if (err == 0) return kExitOk;
  PrintError(command, reading ? path : std::string("standard output"),
             (reading ? "reading the finished sound failed: " : "write failed: ") +
                 std::string(std::strerror(err)));
  return kExitFailed;
}

}  // namespace vxcli
