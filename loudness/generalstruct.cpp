#include "generalstruct.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>

namespace vx {

namespace {

constexpr int32_t kBarkMaxHz = 24000;

void EnsureBarkscale(generalstruct& gs) {
  if (gs.barkscale_data.needsInit != 0) {
    InitBarkscale(gs);
    gs.barkscale_data.needsInit = 0;
  }
}

// Whole-Hz index into the Bark table. Callers stay within 0 .. 24000; the
// clamp only keeps a stray value from reading outside the table.
int32_t BarkIndex(float f) {
  if (!(f >= 0.0f)) return 0;
  if (f >= static_cast<float>(kBarkMaxHz)) return kBarkMaxHz;
  return static_cast<int32_t>(f);
}

// Fills out[] with zeros, turning an allocation failure into the model's
// fatal error.
template <class T>
void Allocate(std::vector<T>& out, int64_t count, std::string_view failure) {
  if (count < 0) FatalError(failure, 1);
  try {
    out.assign(static_cast<size_t>(count), T{});
  } catch (const std::exception&) {
    FatalError(failure, 1);
  }
}

// Draws a break-point table onto out[0 .. last]: the break points up to the
// limit are rescaled so that the third-to-last admitted one lands on `last`,
// and each segment starts on the entry where the previous one ended. Returns
// the number of segments drawn.
template <size_t N>
int32_t DrawTable(std::array<float, N>& pos, const std::array<float, N>& level,
                  const std::array<float, N>& curve, float limit, int32_t last, float* out) {
  int32_t q = 0;
  for (size_t i = 0; i < N; ++i)
    if (pos[i] <= limit) ++q;
  if (q < 4) return 0;
  // Dividing in index order reads pos[q - 3] unchanged until its own turn.
  for (int32_t i = 0; i <= q - 3; ++i) pos[i] = pos[i] / pos[q - 3] * static_cast<float>(last);
  float* o = out;
  for (int32_t i = 0; i <= q - 4; ++i) {
    const int32_t count = static_cast<int32_t>(std::floor(pos[i + 1] + 0.5)) -
                          static_cast<int32_t>(std::floor(pos[i] + 0.5)) + 1;
    InterpolSegment(level[i], curve[i], level[i + 1], count, o);
    o += count - 1;
  }
  return q - 3;
}

void ScaleFromDB(float* values, int32_t count, int32_t stride, double factor) {
  if (stride < 1) stride = 1;
  for (int32_t i = 0; i < count; i += stride)
    values[i] = static_cast<float>(std::pow(10.0, factor * static_cast<double>(values[i])));
}

}  // namespace

void FatalError(std::string_view message, int32_t status) {
  std::fwrite(message.data(), 1, message.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::exit(status);
}

void InitBarkscale(generalstruct& gs) {
  std::vector<float>& t = gs.barkscale_data.table;
  Allocate(t, kBarkMaxHz + 1, "InitBarkscale: insufficient memory");
  for (int32_t i = 0; i <= kBarkMaxHz; ++i) {
    const double f = static_cast<float>(i);
    const double r = 0.00013333333333333334 * f;
    t[i] = static_cast<float>(13.0 * std::atan(0.0007599996960001216 * f) + 3.5 * std::atan(r * r));
  }
}

float HzToBark(float f, generalstruct& gs) {
  EnsureBarkscale(gs);
  return gs.barkscale_data.table[BarkIndex(f)];
}

float BarkToHz(float z, generalstruct& gs) {
  EnsureBarkscale(gs);
  const float* t = gs.barkscale_data.table.data();
  int32_t lo = 0, hi = kBarkMaxHz - 1, mid;
  do {
    mid = (lo + hi) / 2;
    if (t[mid] < z)
      lo = mid;
    else
      hi = mid;
  } while (hi - 1 > lo);
  return static_cast<float>(mid);
}

float BarkLowerEdge(float f, generalstruct& gs) {
  EnsureBarkscale(gs);
  const float* t = gs.barkscale_data.table.data();
  int32_t i = BarkIndex(f);
  const float zl = t[i] - 0.5f;
  if (zl <= 0.0f) return 0.0f;
  while (i > 0) {
    --i;
    if (t[i] <= zl) break;
  }
  return static_cast<float>(i + 1);
}

float BarkUpperEdge(float f, generalstruct& gs) {
  EnsureBarkscale(gs);
  const float* t = gs.barkscale_data.table.data();
  int32_t i = BarkIndex(f);
  const float zu = t[i] + 0.5f;
  while (i < kBarkMaxHz) {
    ++i;
    if (t[i] >= zu) break;
  }
  return static_cast<float>(i == kBarkMaxHz ? kBarkMaxHz : i - 1);
}

void InterpolSegment(float a, float c, float b, int32_t count, float* out) {
  if (count <= 0) return;
  const double step = count > 1 ? 1.0 / (count - 1) : 1.0;
  const double da = a, db = b, dc = c;
  if (c == 0.0f) {
    for (int32_t k = 0; k < count; ++k) out[k] = static_cast<float>(da + k * step * (db - da));
  } else {
    const double denom = 1.0 - std::exp(dc);
    for (int32_t k = 0; k < count; ++k)
      out[k] = static_cast<float>(da + (db - da) * (1.0 - std::exp(dc * k * step)) / denom);
  }
}

void DBToPower(float* values, int32_t count, int32_t stride) {
  ScaleFromDB(values, count, stride, 0.1);
}

void DBToAmplitude(float* values, int32_t count, int32_t stride) {
  ScaleFromDB(values, count, stride, 0.05);
}

void InitAussenOhrUebrtrgmss(float sampleRate, int32_t n, int32_t mode, generalstruct& gs) {
  AussnorhData& a = gs.aussnorh_data;
  if (mode <= 0) FatalError("generalstruct.aussnorh_data.uebrtrgmss: wrong mode", 1);
  const int32_t last = n / 2;
  Allocate(a.uebrtrgmss, int64_t{last} + 1,
           "Generalstruct.Aussnorh_Data.Uebrtrgmss : insufficient memory");
  DrawTable(a.freq, a.level, a.curve, sampleRate * 0.5f, last, a.uebrtrgmss.data());
  // The entry at n/2 stays in dB in every mode: no caller weights that bin.
  if (mode == 1) DBToAmplitude(a.uebrtrgmss.data(), last, 1);
  if (mode == 2) DBToPower(a.uebrtrgmss.data(), last, 1);
  a.mode = mode;
}

void ApplyAussenOhrUebrtrgmss(float* spectrum, int32_t n, int32_t stride, generalstruct& gs) {
  const AussnorhData& a = gs.aussnorh_data;
  if (a.mode == 0) FatalError("use InitAussenOhrUebrtrgmss first", 1);
  if (a.mode > 3 || stride < 1) return;
  const float* u = a.uebrtrgmss.data();
  // Never past the transfer that was built, whatever n the caller passes.
  const int32_t have = static_cast<int32_t>(a.uebrtrgmss.size());
  if (a.mode == 3) {
    for (int32_t i = 0, k = 0; i < n && k < have; i += stride, ++k) spectrum[i] -= u[k];
  } else {
    for (int32_t i = 0, k = 0; i < n && k < have; i += stride, ++k) spectrum[i] /= u[k];
  }
}

void inithoerschw(float sampleRate, float fLow, float fHigh, int32_t nBands, float levelOffset,
                  generalstruct& gs) {
  (void)sampleRate;
  (void)fLow;
  HoerschwData& h = gs.hoerschw_data;
  for (float& f : h.freq) f = HzToBark(f, gs);
  Allocate(h.hoerschw, int64_t{nBands} + 1, "inithoerschw: insufficient memory");
  if (DrawTable(h.freq, h.level, h.curve, HzToBark(fHigh, gs), nBands, h.hoerschw.data()) > 0)
    h.initialised = 1;
  Allocate(h.mithoerschw, int64_t{nBands} + 1, "mithoerschw: insufficient memory");
  for (int32_t k = 0; k <= nBands; ++k) h.mithoerschw[k] = h.hoerschw[k] - levelOffset;

  // The excitation at the threshold in quiet and the factor in front of the
  // loudness power law depend on the threshold only: work them out once.
  Allocate(h.etq, int64_t{nBands} + 1, "inithoerschw: insufficient memory");
  Allocate(h.etqScale, int64_t{nBands} + 1, "inithoerschw: insufficient memory");
  for (int32_t k = 0; k <= nBands; ++k) {
    h.etq[k] = std::pow(10.0, 0.1 * static_cast<double>(h.hoerschw[k]));
    h.etqScale[k] = 0.08 * std::pow(2.5 * h.etq[k], 0.23);
  }
}

void SpezLautheitFFTLength(float sampleRate, int32_t nBands, float fLow, float fHigh,
                           int32_t& fftLength, generalstruct& gs) {
  const float zLow = HzToBark(fLow, gs);
  const float dz = (HzToBark(fHigh, gs) - zLow) / static_cast<float>(nBands - 1);
  const float f1 = BarkToHz(zLow + dz, gs);
  const float ratio = sampleRate / (f1 - fLow);
  // A layout whose second centre does not lie above the first gives no
  // usable ratio; the clamp keeps the result a power of two in any case and
  // an oversize length is refused later by the transform.
  int64_t v;
  if (!(ratio > 1.0f))
    v = 1;
  else if (ratio >= 1073741824.0f)
    v = int64_t{1} << 30;
  else
    v = static_cast<int64_t>(ratio);
  int64_t len = 1;
  while (len < v) len *= 2;
  fftLength = static_cast<int32_t>(len);
}

}  // namespace vx
