#include "Resampler.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "OpenError.h"
#include "SilenceDetector.h"

namespace vxcli {
namespace {

constexpr int64_t kMaxFrames = std::numeric_limits<int32_t>::max();
constexpr sf_count_t kBlock = 8192;  // file frames read at a time

using SndFile = std::unique_ptr<SNDFILE, int (*)(SNDFILE*)>;
using Soxr = std::unique_ptr<soxr, void (*)(soxr_t)>;

// The shortest copy the detector accepts: one analysis frame, one 5 ms hop
// and a frame more, as it counts them.
int64_t MinimumCopyFrames() {
  return AnalysisFrameLength(kAnalysisRate) + static_cast<int32_t>(kAnalysisRate * 0.005) + 1;
}

// TempFile draws its names and sweeps folders through shared state; batch
// workers make their copies concurrently.
std::mutex gCreating;

}  // namespace

int64_t ResampledLength(int64_t frames, int32_t rate) {
  return std::llround(static_cast<double>(frames) * kAnalysisRate / rate);
}

int32_t ToFileFrame(int64_t pos, int32_t rate, int32_t frames) {
  const int64_t f = std::llround(static_cast<double>(pos) * rate / kAnalysisRate);
  return static_cast<int32_t>(std::clamp<int64_t>(f, 0, frames));
}

std::string ResampledRefusal(int32_t rate, int64_t frames) {
  if (rate < kLowestResampledRate)
    return "sample rate " + std::to_string(rate) + " Hz is below " +
           std::to_string(kLowestResampledRate) + " Hz, the lowest rate the analysis resamples";
  if (frames > kMaxFrames || ResampledLength(frames, rate) > kMaxFrames)
    return "has " + std::to_string(frames) + " frames at " + std::to_string(rate) +
           " Hz, more than the detector can address once resampled to " +
           std::to_string(kAnalysisRate) + " Hz";
  const int64_t minimum = MinimumCopyFrames();
  if (ResampledLength(frames, rate) < minimum) {
    // The fewest file frames whose copy is long enough.
    int64_t least = minimum * rate / kAnalysisRate;
    while (ResampledLength(least, rate) < minimum) ++least;
    return "too short: " + std::to_string(frames) + " frames, the analysis needs at least " +
           std::to_string(least) + " (" +
           std::to_string(static_cast<double>(least) / rate) + " s)";
  }
  return {};
}

std::string ResampledCopy::Make(const std::string& file) {
  SF_INFO in{};
  SndFile src(sf_open(file.c_str(), SFM_READ, &in), &sf_close);
  if (!src) return "cannot be read (" + SoundFileOpenError(file) + ")";
  if (in.channels < 1 || in.channels > 2 || in.samplerate <= 0)
    return "cannot be resampled: " + std::to_string(in.channels) + " channels at " +
           std::to_string(in.samplerate) + " Hz";
  const int64_t target = ResampledLength(in.frames, in.samplerate);
  if (target > kMaxFrames) return "too long to be resampled for the analysis";
  const size_t ch = static_cast<size_t>(in.channels);

  std::error_code ec;
  const std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
  if (ec) return "no temporary folder for the resampled copy: " + ec.message();
  {
    std::lock_guard lock(gCreating);
    // Wave64: a long stereo copy passes the 4 GiB a RIFF header can describe.
    if (int err = tmp_.Create((dir / "resampled.w64").string()))
      return "cannot create the resampled copy in " + dir.string() + ": " + std::strerror(err);
  }
  SF_INFO out{};
  out.samplerate = kAnalysisRate;
  out.channels = in.channels;
  out.format = SF_FORMAT_W64 | SF_FORMAT_FLOAT;
  SndFile dst(sf_open(tmp_.path().c_str(), SFM_WRITE, &out), &sf_close);
  if (!dst) return std::string("cannot write the resampled copy: ") + sf_strerror(nullptr);

  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  // One thread: batch jobs already use the cores.
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  soxr_error_t err = nullptr;
  Soxr rs(soxr_create(in.samplerate, kAnalysisRate, static_cast<unsigned>(ch), &err, &io,
                      &quality, &runtime),
          &soxr_delete);
  if (!rs || err) return std::string("cannot set up the resampler: ") + (err ? err : "");

  const size_t outCap =
      static_cast<size_t>(std::ceil(double(kBlock) * kAnalysisRate / in.samplerate)) + 64;
  std::vector<float> inBuf(static_cast<size_t>(kBlock) * ch);
  std::vector<float> outBuf(outCap * ch);
  int64_t written = 0;
  // Writes up to `n` frames of outBuf, never past the copy's length.
  auto put = [&](size_t n) {
    const auto take = static_cast<sf_count_t>(std::min<int64_t>(int64_t(n), target - written));
    if (take > 0 && sf_writef_float(dst.get(), outBuf.data(), take) != take) return false;
    written += take;
    return true;
  };
  const std::string writeFailed = "cannot write the resampled copy: ";

  for (;;) {
    const sf_count_t got = sf_readf_float(src.get(), inBuf.data(), kBlock);
    if (got <= 0) break;
    // The detector counts a non-finite sample as 0; the filter would spread it.
    for (float& v : std::span(inBuf.data(), size_t(got) * ch))
      if (!std::isfinite(v)) v = 0.0f;
    size_t used = 0;
    while (used < size_t(got)) {
      size_t idone = 0, odone = 0;
      err = soxr_process(rs.get(), inBuf.data() + used * ch, size_t(got) - used, &idone,
                         outBuf.data(), outCap, &odone);
      if (err) return std::string("resampling failed: ") + err;
      if (!put(odone)) return writeFailed + sf_strerror(dst.get());
      if (idone == 0 && odone == 0) return "resampling failed: the resampler took no input";
      used += idone;
    }
  }
  if (sf_error(src.get()) != SF_ERR_NO_ERROR)
    return std::string("read error: ") + sf_strerror(src.get());
  // The filter's tail, then zeros should the header have promised more
  // frames than the file holds.
  for (;;) {
    size_t odone = 0;
    err = soxr_process(rs.get(), nullptr, 0, nullptr, outBuf.data(), outCap, &odone);
    if (err) return std::string("resampling failed: ") + err;
    if (!put(odone)) return writeFailed + sf_strerror(dst.get());
    if (odone == 0 || written >= target) break;
  }
  std::fill(outBuf.begin(), outBuf.end(), 0.0f);
  while (written < target)
    if (!put(outCap)) return writeFailed + sf_strerror(dst.get());
  if (sf_close(dst.release()) != 0) return writeFailed + "closing failed";
  frames_ = static_cast<int32_t>(target);
  return {};
}

}  // namespace vxcli
