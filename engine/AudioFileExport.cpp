// AudioFile: export of a frame range to a new sound file: integer PCM in the
// container named by the path's extension (Export), or in any format
// libsndfile writes (ExportAs).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "AudioFile.h"
#include "Diag.h"
#include "ExportContainers.h"
#include "HeldHandle.h"

namespace {

// True when `iOut` already exists and is the same file as `iSource`: opening
// it for writing would truncate the very file being read.
bool IsSameFile(const std::string& iOut, const std::string& iSource) {
  std::error_code ec;
  return std::filesystem::equivalent(iOut, iSource, ec) && !ec;
}

// The output file, written through libsndfile's virtual I/O with a 1 MiB
// buffer. Left to itself libsndfile converts and writes 4 KB per system call;
// the bytes on disk and their order are the same either way. Every seek,
// read or length query first writes out what is buffered. The first failing
// write or close is remembered (libsndfile never learns of it through
// virtual I/O); whether it matters is the caller's decision.
class BufferedOutput {
 public:
  BufferedOutput() = default;
  BufferedOutput(const BufferedOutput&) = delete;
  BufferedOutput& operator=(const BufferedOutput&) = delete;
  ~BufferedOutput() { Close(); }

  // Creates or truncates `iPath` as libsndfile's own opening would.
  bool Create(const std::string& iPath) {
    mFd = ::open(iPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return mFd >= 0;
  }

  SNDFILE* OpenSnd(SF_INFO& ioInfo) {
    static SF_VIRTUAL_IO io{&Length, &Seek, &Read, &Write, &Tell};
    return sf_open_virtual(&io, SFM_WRITE, &ioInfo, this);
  }

  // Writes out what is buffered (the buffer is emptied either way); false
  // when this or any earlier write failed.
  bool Flush() {
    size_t at = 0;
    while (at < mBuf.size()) {
      const ssize_t w = ::write(mFd, mBuf.data() + at, mBuf.size() - at);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        Fail(w < 0 ? errno : EIO);
        break;
      }
      at += size_t(w);
    }
    mBuf.clear();
    return mError == 0;
  }

  // Flushes and closes the descriptor; false when that or any earlier write
  // failed.
  bool Close() {
    if (mFd < 0) return mError == 0;
    Flush();
    // After EINTR the descriptor is gone on Linux and the data was handed
    // over: not a failure.
    if (::close(mFd) != 0 && errno != EINTR) Fail(errno);
    mFd = -1;
    return mError == 0;
  }

  // errno of the first failed write or close, 0 when none failed.
  int Error() const { return mError; }

 private:
  static constexpr size_t kCapacity = size_t(1) << 20;

  void Fail(int iErrno) {
    if (mError == 0) mError = iErrno;
  }
  static BufferedOutput& Self(void* p) { return *static_cast<BufferedOutput*>(p); }
  static sf_count_t Length(void* p) {
    Self(p).Flush();
    struct stat st {};
    return ::fstat(Self(p).mFd, &st) == 0 ? sf_count_t(st.st_size) : -1;
  }
  static sf_count_t Seek(sf_count_t iOffset, int iWhence, void* p) {
    Self(p).Flush();
    return ::lseek(Self(p).mFd, off_t(iOffset), iWhence);
  }
  static sf_count_t Read(void* oPtr, sf_count_t iCount, void* p) {
    Self(p).Flush();
    const ssize_t r = ::read(Self(p).mFd, oPtr, size_t(iCount));
    return r < 0 ? 0 : r;
  }
  static sf_count_t Write(const void* iPtr, sf_count_t iCount, void* p) {
    BufferedOutput& self = Self(p);
    const char* bytes = static_cast<const char*>(iPtr);
    self.mBuf.insert(self.mBuf.end(), bytes, bytes + iCount);
    if (self.mBuf.size() >= kCapacity) self.Flush();
    return iCount;
  }
  static sf_count_t Tell(void* p) {
    const off_t at = ::lseek(Self(p).mFd, 0, SEEK_CUR);
    return at < 0 ? -1 : sf_count_t(at) + sf_count_t(Self(p).mBuf.size());
  }

  int mFd = -1;
  int mError = 0;
  std::vector<char> mBuf;
};

}  // namespace

int AudioFile::Export(const char* iPath) { return Export(iPath, 16, 2, 0, mSmpNb); }

void AudioFile::SetCheckedWrites(bool iOn) { mCheckedWrites = iOn; }

int AudioFile::LastWriteError() const { return mLastWriteError; }

int AudioFile::Export(const char* iPath, int32_t iBits, int32_t iChannels, int32_t iStart,
                      int32_t iLen) {
  mLastWriteError = 0;
  int32_t start = iStart;
  int32_t len = iLen;
  CheckFrameArea(start, len);
  if (len == 0) {
    vx::DiagOut("AudioFile::Export: WARNING: nothing to export");
    return kExportOk;
  }
  if (iChannels < 1 || iChannels > 2) {
    vx::DiagOut("AudioFile::Export: ERROR: iChannels must be 1 (mono) or 2 (stereo)");
    return kExportBadChannels;
  }
  int encoding = 0;
  switch (iBits) {
    case 8: encoding = SF_FORMAT_PCM_S8; break;
    case 16: encoding = SF_FORMAT_PCM_16; break;
    case 24: encoding = SF_FORMAT_PCM_24; break;
    default:
      vx::DiagOut("AudioFile::Export: ERROR: Unrecognized bits format");
      return kExportBadBits;
  }
  // The area is clamped already, so ExportAs finds nothing more to say about it.
  return ExportAs(iPath, {ContainerForPath(iPath ? iPath : "") | encoding, true}, iChannels, start,
                  len);
}

int AudioFile::ExportAs(const char* iPath, const ExportFormat& iFormat, int32_t iChannels,
                        int32_t iStart, int32_t iLen) {
  mLastWriteError = 0;
  const std::string path = iPath ? iPath : "";
  int32_t start = iStart;
  int32_t len = iLen;
  CheckFrameArea(start, len);
  if (len == 0) {
    vx::DiagOut("AudioFile::Export: WARNING: nothing to export");
    return kExportOk;
  }
  if (iChannels < 1 || iChannels > 2) {
    vx::DiagOut("AudioFile::Export: ERROR: iChannels must be 1 (mono) or 2 (stereo)");
    return kExportBadChannels;
  }
  if (!mSndFile && !OpenForReading()) return kExportCannotOpen;

  // From here every way out leaves the source closed, whoever opened it.
  struct CloseSource {
    AudioFile& file;
    ~CloseSource() { file.CloseHandle(); }
  } closeSource{*this};
  // One source handle for all blocks (stereo reads would otherwise reopen
  // the file for every block).
  HeldHandle hold(*this);

  SF_INFO outInfo = *mSfInfo;
  outInfo.format = iFormat.format;
  outInfo.channels = iChannels;
  if (!sf_format_check(&outInfo)) {
    vx::DiagErr("AudioFile::Export: ERROR: output file format is invalid.");
    return kExportBadFormat;
  }
  // Declared before the handle: libsndfile's closing writes the final header
  // through it.
  BufferedOutput file;
  SndFilePtr out;
  if (!IsSameFile(path, mFileName) && file.Create(path)) {
    out.reset(file.OpenSnd(outInfo));
    // libsndfile writes the header while opening (through a seek or the
    // buffer); an output that cannot take it (a full device, say) does not
    // open, whatever the mode.
    if (out && !file.Flush()) {
      mLastWriteError = file.Error();
      out.reset();
    }
  }
  if (!out) {
    vx::DiagErr("AudioFile::Export: ERROR: Not able to open output file " + path);
    return kExportCannotOpen;
  }
  // Closes the output (libsndfile's final header, then the descriptor);
  // false when a write or the close failed on the way.
  auto closeOutput = [&] {
    const bool closed = sf_close(out.release()) == 0;
    const bool ok = file.Close() && closed;
    if (mLastWriteError == 0) mLastWriteError = file.Error() != 0 ? file.Error() : (ok ? 0 : EIO);
    return ok;
  };
  // Samples beyond full scale (float sources) saturate instead of wrapping.
  sf_command(out.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);

  if (iFormat.copyText && CopyMetaData(mSndFile.get(), out.get()) != 0) {
    vx::DiagErr("AudioFile::Export: ERROR: Problem while copying metadata");
    closeOutput();
    return kExportMetadata;
  }

  // Blocks of 16 x 4098 values: the block size shows nowhere (reads inside the
  // range print nothing, the last request of 0 frames is the same), only in
  // the number of calls.
  const int32_t block = std::min<int32_t>(16 * 4098 / iChannels, len);
  std::vector<float> data;
  data.reserve(size_t(block) * size_t(iChannels));
  auto read = [&](int32_t iFrom, int32_t iCount) {
    return iChannels == 1 ? ReadMonoData(data, iFrom, iCount) : ReadStereoData(data, iFrom, iCount);
  };
  bool writeFailed = false;
  int32_t pos = start;
  int32_t written = 0;
  int n = read(pos, block);
  while (n > 0) {
    const sf_count_t put = sf_writef_float(out.get(), data.data(), n);
    if (mCheckedWrites && (put != n || file.Error() != 0)) {
      mLastWriteError = file.Error() != 0 ? file.Error() : EIO;
      writeFailed = true;
      break;
    }
    pos += n;
    written += n;
    const int32_t next = written >= len ? 0 : std::min<int32_t>(n, len - written);
    n = read(pos, next);
  }
  if (n < 0) {
    vx::DiagErr("AudioFile::Export: ERROR: ReadMonoData/ReadStereoData failure");
    closeOutput();
    return kExportReadFailed;
  }
  if (!closeOutput()) writeFailed = true;
  if (!mCheckedWrites || !writeFailed) return kExportOk;
  vx::DiagErr(std::string("AudioFile::Export: ERROR: writing the output failed: ") +
              std::strerror(mLastWriteError));
  return kExportWriteFailed;
}

int AudioFile::CopyMetaData(SNDFILE* iSrc, SNDFILE* oDst) {
  for (int kind = SF_STR_TITLE; kind <= SF_STR_DATE; ++kind) {
    const char* text = sf_get_string(iSrc, kind);
    if (!text) continue;
    if (sf_set_string(oDst, kind, text) != 0) {
      vx::DiagErr("AudioFile:CopyMetaData: ERROR : Not able to copy meta data");
      return -1;
    }
  }
  return 0;
}
