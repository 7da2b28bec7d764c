// libFuzzer target: arbitrary bytes as a sound file, through everything a
// host does with a file it opens: the description with its maximum scan, the
// printed description, the waveform overview, an export and the silence
// detector. Any crash, sanitizer report, leak or runaway allocation is a
// finding; results and messages are not checked.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "AudioFile.h"
#include "AudioSegment.h"
#include "Diag.h"
#include "MarkData.h"
#include "SilenceDetector.h"

namespace {

// Frames analysed per input at most (a few seconds): FLAC and Ogg pack long
// stretches of silence into a few bytes, and a small input may decode to
// hours.
constexpr int32_t kMaxFrames = 200000;

void Discard(vx::DiagStream, std::string_view) {}

// Export targets live in one private directory, on tmpfs when there is one.
std::string& OutDir() {
  static std::string dir;
  return dir;
}

void RemoveOutDir() {
  std::error_code ec;
  if (!OutDir().empty()) std::filesystem::remove_all(OutDir(), ec);
}

// The input as a file that libsndfile opens by path.
class MemFile {
 public:
  MemFile(const uint8_t* iData, size_t iSize) {
    mFd = memfd_create("vxfuzz", MFD_CLOEXEC);
    if (mFd < 0) return;
    size_t at = 0;
    while (at < iSize) {
      const ssize_t w = ::write(mFd, iData + at, iSize - at);
      if (w <= 0) break;
      at += size_t(w);
    }
  }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;
  ~MemFile() {
    if (mFd >= 0) ::close(mFd);
  }
  bool Ok() const { return mFd >= 0; }
  std::string Path() const { return "/proc/self/fd/" + std::to_string(mFd); }

 private:
  int mFd = -1;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vx::SetDiagSink(&Discard);
  // Two threads in small chunks, so that short inputs reach the parallel
  // analysis and its serial check too.
  SetAnalysisMode({.threads = 2, .chunkFrames = 256, .fastArithmetic = false});
  const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
  std::string tmpl = std::string(base) + "/vxfuzz-XXXXXX";
  if (!mkdtemp(tmpl.data())) std::abort();
  OutDir() = tmpl;
  std::atexit(&RemoveOutDir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize) {
  MemFile in(iData, iSize);
  if (!in.Ok()) return 0;
  const std::string path = in.Path();

  AudioFile file;
  const int opened = file.InitAudio(path.c_str());
  file.PrintInfo();
  // The low 32 bits of the claimed count: negative for 2^31 .. 2^32 - 1.
  const int32_t frames = file.mSmpNb;
  const bool whole = frames <= kMaxFrames;
  const int32_t len = whole ? frames : kMaxFrames;

  if (opened != -1) {
    std::vector<int32_t> mn, mx;
    if (whole)
      file.Audio2Graph(mn, mx, 64, 100);
    else
      file.Audio2Graph(mn, mx, 64, 100, 0, len);

    // Output layout picked by the input's last byte.
    const uint8_t pick = iSize ? iData[iSize - 1] : 0;
    static constexpr const char* kExt[] = {"wav", "aif", "snd"};
    static constexpr int32_t kBits[] = {8, 16, 24};
    const std::string out = OutDir() + "/out." + kExt[pick % 3];
    file.SetCheckedWrites(pick & 0x10);
    file.Export(out.c_str(), kBits[(pick / 3) % 3], 1 + (pick >> 7), 0, len);
    std::error_code ec;
    std::filesystem::remove(out, ec);
  }

  std::vector<MarkData> silences;
  if (whole) {
    std::vector<MarkPair> marks;
    file.SilenceDetect(marks, 2.0f, 0.0f, 0.1f, 0.05f, 0);
  } else {
    SilenceDetector(path, silences, 0, len, 2.0f, 0.0f, 0.1f, 0.05f, 0);
  }
  return 0;
}
