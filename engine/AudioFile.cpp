// AudioFile: construction, opening with the maximum scan, description,
// frame areas and sample reading.
#include "AudioFile.h"
#include "MixDown.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "Diag.h"

namespace {

constexpr const char* kOpenError = "AudioFile::InitAudio: ERROR: problem while openning ";

// Values per read in the maximum scan (values, not frames). A multiple of 6,
// so that 1, 2, 3 and 6 channels read whole frames.
constexpr int64_t kAbsMaxBlock = 16 * 4098;

// Interleaved values per internal read in ReadMonoData / ReadStereoData. The
// result is the same as one read of the whole area; only memory differs.
constexpr int64_t kChunkValues = 65536;

// Frames per read straight into the caller's array (mono into ReadMonoData,
// stereo into ReadStereoData): more than an export block, so that a block is
// one read, yet a bound on how far the array runs ahead of the frames that
// actually arrived.
constexpr int64_t kDirectFrames = int64_t(1) << 17;

// Largest |v| of v[0..n) and `m`, keeping `m` when nothing is larger. A value
// replaces the running maximum only when strictly larger, so NaN never does;
// that rule is order-independent, which lets the loop run in eight lanes.
float AbsMaxOf(const float* v, size_t n, float m) {
  float lane[8];
  std::fill(lane, lane + 8, m);
  size_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (int k = 0; k < 8; ++k) {
      const float a = std::fabs(v[i + size_t(k)]);
      lane[k] = a > lane[k] ? a : lane[k];
    }
  for (; i < n; ++i) {
    const float a = std::fabs(v[i]);
    m = a > m ? a : m;
  }
  for (float l : lane) m = l > m ? l : m;
  return m;
}


}  // namespace

// The mono view of `frames` interleaved frames: the mean of each frame's
// channels, products and sum in double, stored as float. Not the detector's
// float half-sum of two channels: reading serves any channel count, while
// the detector's loudness, and so its marks, are defined on its own mixdown.
void MixDown(const float* iIn, int64_t frames, int32_t channels, float* oOut) {
  if (channels == 1) {
    std::copy(iIn, iIn + frames, oOut);
    return;
  }
  const double r = 1.0 / channels;
  if (channels == 2) {
    for (int64_t i = 0; i < frames; ++i)
      oOut[i] = float(double(iIn[2 * i]) * r + double(iIn[2 * i + 1]) * r);
    return;
  }
  for (int64_t i = 0; i < frames; ++i) {
    double sum = 0.0;
    const float* f = iIn + i * channels;
    for (int32_t c = 0; c < channels; ++c) sum += double(f[c]) * r;
    oOut[i] = float(sum);
  }
}

AudioFile::AudioFile() = default;

AudioFile::~AudioFile() {
  ShutdownPlayback();
  mSndFile.reset();
  mSfInfo.reset();
}

// ---- handle helpers ----

bool AudioFile::OpenQuiet() {
  if (mSndFile) return true;
  // An object never described still opens through a zeroed record (and
  // fails on its empty path with the usual message).
  if (!mSfInfo) mSfInfo = std::make_unique<SF_INFO>();
  mSndFile.reset(sf_open(mFileName.c_str(), SFM_READ, mSfInfo.get()));
  // A file replaced since its description by one with another channel count
  // would overrun every buffer sized from mChannels: it does not open.
  if (mSndFile && mChannels != 0 && mSfInfo->channels != mChannels) mSndFile.reset();
  mReadPos = mSndFile ? 0 : -1;
  return static_cast<bool>(mSndFile);
}

bool AudioFile::OpenForReading() {
  if (OpenQuiet()) return true;
  vx::DiagErr(kOpenError + mFileName);
  return false;
}

void AudioFile::SeekTo(int64_t iFrame) {
  // A handle read sequentially already sits at the next block: seeking there
  // again would cost a re-decode from the file start in FLAC/MP3.
  if (mReadPos == iFrame) return;
  const sf_count_t r = sf_seek(mSndFile.get(), iFrame, SEEK_SET);
  mReadPos = r == iFrame ? iFrame : -1;
}

void AudioFile::CloseHandle() {
  mSndFile.reset();
  mReadPos = -1;
}

// ---- opening and description ----

int AudioFile::InitAudio(const char* iPath) {
  const std::string path = iPath ? iPath : "";
  vx::DiagOut("=>AudioFile::InitAudio=> " + path);
  mFileName = path;
  mSmpNb = 0;
  mSampleRate = 0;
  mChannels = 0;
  mMaxValue = 0.0f;
  CloseHandle();
  mSfInfo = std::make_unique<SF_INFO>();
  if (!OpenForReading()) return kInitCannotOpen;
  SeekTo(0);

  mSampleRate = mSfInfo->samplerate;
  mChannels = mSfInfo->channels;
  mFormatInfo.format = mSfInfo->format & SF_FORMAT_TYPEMASK;
  sf_command(mSndFile.get(), SFC_GET_FORMAT_INFO, &mFormatInfo, sizeof(mFormatInfo));
  mSubFormatInfo.format = mSfInfo->format & SF_FORMAT_SUBMASK;
  sf_command(mSndFile.get(), SFC_GET_FORMAT_INFO, &mSubFormatInfo, sizeof(mSubFormatInfo));
  mSmpNb = static_cast<int32_t>(static_cast<uint32_t>(mSfInfo->frames & 0xFFFFFFFF));

  // A failed scan has closed the handle itself.
  if (SearchAbsMax(&mMaxValue, 0, mSmpNb) != 0) return kInitNoPeak;
  CloseHandle();
  return kInitOk;
}

int AudioFile::SearchAbsMax(float* oMax, int32_t iStart, int32_t iLen) {
  if (!mSndFile && !OpenForReading()) return -1;
  CheckFrameArea(iStart, iLen);
  if (iLen == 0) {
    CloseHandle();
    return -1;
  }
  SeekTo(iStart);
  float dummy = 0.0f;
  float& max = oMax ? *oMax : dummy;
  max = 0.0f;

  const int64_t channels = std::max<int32_t>(mChannels, 1);
  const int64_t total = channels * iLen;
  // libsndfile reads whole frames only (a value count that is not a multiple
  // of the channel count reads nothing), so the block shrinks to whole frames
  // for 4, 5, 7, 8... channels; 1, 2, 3 and 6 channels divide it.
  const int64_t most = std::max(kAbsMaxBlock - kAbsMaxBlock % channels, channels);
  std::vector<float> block(size_t(std::min(total, most)), 0.0f);
  int64_t consumed = 0;  // frames
  float m = 0.0f;
  int64_t n = ReadFloatValues(block.data(), int64_t(block.size()));
  while (n > 0) {
    m = AbsMaxOf(block.data(), size_t(n), m);
    consumed += n / channels;
    if (consumed >= iLen) break;
    const int64_t left = (iLen - consumed) * channels;
    n = ReadFloatValues(block.data(), std::min(n, left));
  }
  max = m;
  CloseHandle();
  return max == 0.0f ? -1 : 0;
}

std::string AudioFile::GetFileName() { return mFileName; }

bool AudioFile::HasFrames() { return mSmpNb != 0; }

float AudioFile::GetMaxValue() { return mMaxValue; }

int AudioFile::ProcessArea(int32_t iA, int32_t iB, int32_t iC) {
  return ProcessArea(iA, iB, iC, 0, mSmpNb);
}

int AudioFile::ProcessArea(int32_t, int32_t, int32_t, int32_t, int32_t) { return 0; }

void AudioFile::PrintInfo() {
  // A never-described object has no format names (libsndfile fills them):
  // they print as empty text. Without a sample rate the duration is 0.
  auto text = [](const char* s) { return std::string(s ? s : ""); };
  auto number = [](float v) {
    std::ostringstream os;
    os << v;
    return os.str();
  };
  const float duration =
      mSampleRate > 0 ? static_cast<float>(double(mSmpNb) / double(mSampleRate)) : 0.0f;
  vx::DiagOut("Sound File Info : ");
  vx::DiagOut(" File Name    : " + mFileName);
  vx::DiagOut(" Format       : " + text(mFormatInfo.name));
  vx::DiagOut(" Extension    : " + text(mFormatInfo.extension));
  vx::DiagOut(" Storage type : " + text(mSubFormatInfo.name));
  vx::DiagOut(" Sample rate  : " + std::to_string(mSampleRate));
  vx::DiagOut(" Channels     : " + std::to_string(mChannels));
  vx::DiagOut(" Nb of smp/ch : " + std::to_string(mSmpNb));
  vx::DiagOut(" Duration     : " + number(duration) + " seconds");
  vx::DiagOut(" - Max value    : " + number(mMaxValue));
}

// ---- frame areas and reading ----

void AudioFile::CheckFrameArea(int32_t& ioStart, int32_t& ioLen) {
  ClampFrameArea(mSmpNb, ioStart, ioLen);
}

void AudioFile::ClampFrameArea(int32_t iFrames, int32_t& ioStart, int32_t& ioLen) {
  if (ioStart < 0 || ioLen < 0) {
    vx::DiagOut(
        "AudioFile::CheckFrameArea: WARNING: ioStart and/or ioLen are negatives => ioStart and "
        "ioLen put to 0");
    ioStart = 0;
    ioLen = 0;
  }
  if (ioStart >= iFrames) {
    vx::DiagOut("AudioFile::CheckFrameArea: WARNING: ioStart >= mSmpNb => ioStart and ioLen put to 0");
    ioStart = 0;
    ioLen = 0;
  }
  if (ioLen > iFrames - ioStart) {
    vx::DiagOut("AudioFile::CheckFrameArea: WARNING: ioStart+ioLen>mSmpNb => ioLen=mSmpNb-ioStart");
    ioLen = iFrames - ioStart;
  }
  // A header claiming 2^31 frames or more leaves a negative frame count (its
  // low 32 bits), and the rule above a negative length: no frame of such a
  // file is addressable, so the area is empty. Never reached for a count of
  // 0 .. 2^31 - 1.
  if (ioLen < 0) ioLen = 0;
}

namespace {

// 16-bit PCM (FLAC aside, which decodes on its own terms) read as shorts
// gives s / 32768, exact in float: the very values of libsndfile's float
// read, which however converts and reads 4 KB per system call.
bool ShortsAreExact(const SF_INFO* iInfo) {
  return iInfo && (iInfo->format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 &&
         (iInfo->format & SF_FORMAT_TYPEMASK) != SF_FORMAT_FLAC;
}

void ShortsToFloats(const int16_t* iIn, size_t n, float* oOut) {
  constexpr float kScale = 1.0f / 32768.0f;
  for (size_t i = 0; i < n; ++i) oOut[i] = float(iIn[i]) * kScale;
}

}  // namespace

// Frames (or single values) read at the handle's position: the count read,
// 0 at the end or on a read error.
int64_t AudioFile::ReadFloatFrames(float* oBuf, int64_t iFrames) {
  if (!ShortsAreExact(mSfInfo.get())) {
    const sf_count_t n = sf_readf_float(mSndFile.get(), oBuf, iFrames);
    return n > 0 ? n : 0;
  }
  const int64_t channels = std::max(mSfInfo->channels, 1);
  const int64_t chunk = std::max<int64_t>(1, kChunkValues / channels);
  mShorts.resize(size_t(std::min(chunk, iFrames) * channels));
  int64_t done = 0;
  while (done < iFrames) {
    const int64_t want = std::min(chunk, iFrames - done);
    const sf_count_t got = sf_readf_short(mSndFile.get(), mShorts.data(), want);
    if (got <= 0) break;
    ShortsToFloats(mShorts.data(), size_t(got * channels), oBuf + done * channels);
    done += got;
    if (got < want) break;
  }
  return done;
}

int64_t AudioFile::ReadFloatValues(float* oBuf, int64_t iValues) {
  if (!ShortsAreExact(mSfInfo.get())) {
    const sf_count_t n = sf_read_float(mSndFile.get(), oBuf, iValues);
    return n > 0 ? n : 0;
  }
  mShorts.resize(size_t(iValues));
  const sf_count_t got = sf_read_short(mSndFile.get(), mShorts.data(), iValues);
  if (got <= 0) return 0;
  ShortsToFloats(mShorts.data(), size_t(got), oBuf);
  return got;
}

int AudioFile::ReadData(float* oBuffer, int32_t iStart, int32_t iLen) {
  CheckFrameArea(iStart, iLen);
  if (iLen == 0) return 0;
  const bool opened = !mSndFile;
  if (opened && !OpenForReading()) return -1;
  SeekTo(iStart);
  const sf_count_t n = sf_readf_float(mSndFile.get(), oBuffer, iLen);
  if (mReadPos >= 0) mReadPos += std::max<sf_count_t>(n, 0);
  if (opened) CloseHandle();
  return 0;
}

int AudioFile::ReadMonoData(std::vector<float>& oData, int32_t iStart, int32_t iLen) {
  const bool opened = !mSndFile;
  if (opened && !OpenForReading()) {
    oData.clear();
    return -1;
  }
  CheckFrameArea(iStart, iLen);
  if (iLen == 0) {
    oData.clear();
    if (opened) CloseHandle();
    return 0;
  }
  SeekTo(iStart);
  // oData grows with the frames that actually arrive, one chunk ahead: the
  // length comes from the file's header, which may claim far more frames
  // than the file holds.
  const int32_t channels = std::max<int32_t>(mChannels, 1);
  const int64_t chunk =
      channels == 1 ? kDirectFrames : std::max<int64_t>(1, kChunkValues / channels);
  int64_t done = 0;
  while (done < iLen) {
    const int64_t want = std::min<int64_t>(chunk, iLen - done);
    if (oData.size() < size_t(done + want)) oData.resize(size_t(done + want));
    int64_t got = 0;
    if (channels == 1) {
      got = ReadFloatFrames(oData.data() + done, want);
    } else {
      mScratch.resize(size_t(want * channels));
      got = ReadFloatFrames(mScratch.data(), want);
      MixDown(mScratch.data(), got, channels, oData.data() + done);
    }
    done += got;
    if (got < want) break;
  }
  if (mReadPos >= 0) mReadPos += done;
  oData.resize(size_t(done));
  if (opened) CloseHandle();
  return static_cast<int>(done);
}

int AudioFile::ReadStereoData(std::vector<float>& oData, int32_t iStart, int32_t iLen) {
  CheckFrameArea(iStart, iLen);
  if (iLen == 0) {
    oData.clear();
    vx::DiagOut("AudioFile::ReadStereoData: WARNING: nothing to read");
    return 0;
  }
  if (mChannels > 2) {
    oData.clear();
    vx::DiagOut("AudioFile::ReadStereoData: WARNING: more than 2 channels, read nothing");
    return 0;
  }
  if (!mSndFile && !OpenForReading()) {
    oData.clear();
    return -1;
  }
  SeekTo(iStart);
  // oData ends with exactly the values read; sizing it over its old content
  // (not emptying it first) spares a zero-fill of every block of an export.
  // It grows with the frames that actually arrive, one chunk ahead, never
  // from the header's claim alone.
  const int64_t chunk = mChannels == 2 ? kDirectFrames : kChunkValues;
  int64_t done = 0;
  while (done < iLen) {
    const int64_t want = std::min<int64_t>(chunk, iLen - done);
    if (oData.size() < size_t(done + want) * 2) oData.resize(size_t(done + want) * 2);
    float* out = oData.data() + 2 * done;
    int64_t got = 0;
    if (mChannels == 2) {
      got = ReadFloatFrames(out, want);
    } else {
      mScratch.resize(size_t(want));
      got = ReadFloatFrames(mScratch.data(), want);
      for (int64_t i = 0; i < got; ++i) out[2 * i] = out[2 * i + 1] = mScratch[size_t(i)];
    }
    done += got;
    if (got < want) break;
  }
  if (mReadPos >= 0) mReadPos += done;
  oData.resize(size_t(done) * 2);
  // Every stereo read ends with the file closed, even one it found open;
  // an operation holding the handle keeps it for its next block instead.
  if (!mHoldHandle) CloseHandle();
  return static_cast<int>(done);
}
