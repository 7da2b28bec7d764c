#include "SpezLautheit.h"

#include <cmath>
#include <cstdio>
#include <exception>

#include "SpezLautheitSteps.h"
#include "fast.h"

namespace vx {

namespace {

constexpr int32_t kMaxFFT = 1 << 19;

struct BandEdges {
  int32_t iLo, iHi;
  double wLo, wHi;
};

// Bins and edge weights of one band centred at Bark value z. Bin j covers
// (j - 0.5) df .. (j + 0.5) df; each edge bin counts with the share of its
// width inside the band.
BandEdges EdgesOfBand(float z, float halfDf, float invDf, int32_t lastBin, generalstruct& gs) {
  const float fc = BarkToHz(z, gs);
  const float fLo = BarkLowerEdge(fc, gs);
  const float fHi = BarkUpperEdge(BarkToHz(z, gs), gs);
  const float posLo = static_cast<float>((static_cast<double>(fLo) + halfDf) * invDf);
  const float posHi = static_cast<float>((static_cast<double>(fHi) + halfDf) * invDf);
  BandEdges e;
  e.iLo = static_cast<int32_t>(posLo);
  e.iHi = static_cast<int32_t>(posHi);
  if (e.iHi > lastBin) e.iHi = lastBin;
  e.wLo = 1.0 - (static_cast<double>(posLo) - e.iLo);
  e.wHi = static_cast<double>(posHi) - e.iHi;
  return e;
}

// The interior bins are added one after another. Nearly every band of speech
// could be added in any order without changing a bit (its addends are
// multiples of the smallest one's ulp, and their total stays below 2^53 of
// it), but vector sums with that check ran no faster than this chain: the
// processor already overlaps the chains of neighbouring bands.
float BandSum(const float* spectrum, int32_t stride, int32_t lastBin, const BandEdges& e) {
  double acc = 0.0;
  for (int32_t j = e.iLo + 1; j < e.iHi; ++j) acc += spectrum[j * stride];
  // A band that starts above the last bin (a sample rate too low for the
  // layout) finds no power there.
  if (e.iLo <= lastBin) acc += e.wLo * spectrum[e.iLo * stride];
  acc += e.wHi * spectrum[e.iHi * stride];
  return static_cast<float>(acc);
}

bool LayoutMatches(const BandLayout& c, int32_t n, int32_t stride, int32_t nBands,
                   float sampleRate, float fLow, float fHigh) {
  return c.built != 0 && c.keyN == n && c.keyStride == stride && c.keyBands == nBands &&
         c.keyRate == sampleRate && c.keyLow == fLow && c.keyHigh == fHigh;
}

}  // namespace

namespace detail {

Layout BandLayoutOf(int32_t nBands, float fLow, float fHigh, generalstruct& gs) {
  const float zLow = HzToBark(fLow, gs);
  const float zHigh = HzToBark(fHigh, gs);
  return {zLow, (zHigh - zLow) / static_cast<float>(nBands - 1)};
}

bool ThresholdsFor(float sampleRate, float fLow, float fHigh, int32_t nBands, float levelOffset,
                   generalstruct& gs) {
  // A layout too narrow for the threshold table draws nothing and leaves
  // `initialised` at 0; building it again every frame would only convert
  // the already converted break points once more, so one attempt is all.
  const HoerschwData& h = gs.hoerschw_data;
  if (h.initialised == 0 && h.hoerschw.empty())
    inithoerschw(sampleRate, fLow, fHigh, nBands, levelOffset, gs);
  return nBands >= 0 && static_cast<size_t>(nBands) + 1 <= h.mithoerschw.size() &&
         static_cast<size_t>(nBands) + 1 <= h.hoerschw.size();
}

}  // namespace detail

using detail::BandLayoutOf;
using detail::Layout;

void BarkBandsByFFT(const float* spectrum, int32_t n, int32_t stride, float* bandPower,
                    int32_t nBands, float sampleRate, float fLow, float fHigh, generalstruct& gs) {
  if (stride < 1) stride = 1;
  const float df = sampleRate / static_cast<float>(n);
  const float halfDf = 0.5f * df;
  const float invDf = 1.0f / df;
  const int32_t lastBin = n / stride;
  for (int32_t b = 0; b < nBands; ++b) bandPower[b] = 0.0f;
  // No bins to group: a transform of fewer than two points or a sample rate
  // that is not positive would put the bands outside the spectrum.
  if (n < 2 || !(df > 0.0f) || !std::isfinite(df)) return;
  const Layout lay = BandLayoutOf(nBands, fLow, fHigh, gs);

  // The bins and weights depend on the parameters only, which are fixed for
  // a run: they are worked out on the first frame and read on every later one.
  BandLayout& c = gs.spezlautheit_data.layout;
  if (c.built == 0 && nBands > 0) {
    auto alloc = [&](auto& v) {
      try {
        v.assign(static_cast<size_t>(nBands) + 1, {});
      } catch (const std::exception&) {
        FatalError("SpezLautheitByFFT: insufficient memory", 1);
      }
    };
    alloc(c.iLo);
    alloc(c.iHi);
    alloc(c.wLo);
    alloc(c.wHi);
    float z = lay.zLow;
    for (int32_t b = 0; b < nBands; ++b) {
      const BandEdges e = EdgesOfBand(z, halfDf, invDf, lastBin, gs);
      c.iLo[b] = e.iLo;
      c.iHi[b] = e.iHi;
      c.wLo[b] = e.wLo;
      c.wHi[b] = e.wHi;
      z = z + lay.dz;
    }
    c.keyN = n;
    c.keyStride = stride;
    c.keyBands = nBands;
    c.keyRate = sampleRate;
    c.keyLow = fLow;
    c.keyHigh = fHigh;
    c.built = 1;
  }
  if (LayoutMatches(c, n, stride, nBands, sampleRate, fLow, fHigh)) {
    for (int32_t b = 0; b < nBands; ++b)
      bandPower[b] = BandSum(spectrum, stride, lastBin, {c.iLo[b], c.iHi[b], c.wLo[b], c.wHi[b]});
    return;
  }
  // Another layout than the record's: work it out on the spot.
  float z = lay.zLow;
  for (int32_t b = 0; b < nBands; ++b) {
    bandPower[b] = BandSum(spectrum, stride, lastBin, EdgesOfBand(z, halfDf, invDf, lastBin, gs));
    z = z + lay.dz;
  }
}

void LinToDB(float* values, int32_t count, int32_t stride) {
  if (stride < 1) stride = 1;
  for (int32_t i = 0; i < count; i += stride) {
    const float x = values[i];
    values[i] = x < 1.0e-12 ? -120.0f : static_cast<float>(10.0 * std::log10(static_cast<double>(x)));
  }
}

void CalcSpezLautheit(float* values, int32_t nBands, float sampleRate, float fLow, float fHigh,
                      float levelOffset, generalstruct& gs) {
  if (!detail::ThresholdsFor(sampleRate, fLow, fHigh, nBands, levelOffset, gs)) return;
  const HoerschwData& hd = gs.hoerschw_data;
  for (int32_t k = 0; k <= nBands; ++k) {
    const double etq = hd.etq[k];
    const double e = std::pow(10.0, 0.1 * (static_cast<double>(levelOffset) + values[k]));
    values[k] = static_cast<float>(hd.etqScale[k] * (std::pow(0.5 * (e / etq + 1.0), 0.23) - 1.0));
  }
}

namespace detail {

void BandPowerOfFrame(const float* frame, int32_t frameLen, float* bandPower, int32_t nBands,
                      int32_t hop, float sampleRate, float fLow, float fHigh, float levelOffset,
                      generalstruct& gs) {
  SpezlautheitData& sd = gs.spezlautheit_data;
  if (sd.firstCall != 0) {
    if (nBands < 2 || !(sampleRate > 0.0f) || !std::isfinite(sampleRate))
      FatalError("SpezLautheitByFFT: needs at least 2 bands and a positive sample rate", 1);
    int64_t len = 1;
    while (len < frameLen && len <= kMaxFFT) len *= 2;
    // The transform owns the refusal of lengths it cannot take.
    if (len < 2 || len > kMaxFFT) {
      float none[4] = {};
      fast(none, static_cast<int32_t>(len));
    }
    sd.fftSize = static_cast<int32_t>(len);
    try {
      sd.spectrum.assign(static_cast<size_t>(sd.fftSize) + 5, 0.0f);
    } catch (const std::exception&) {
      FatalError("SpezLautheitByFFT: insufficient memory", 1);
    }
    InitAussenOhrUebrtrgmss(sampleRate, sd.fftSize, 2, gs);
    sd.nBands = nBands;
    sd.hop = hop;
    sd.sampleRate = sampleRate;
    sd.fLow = fLow;
    sd.fHigh = fHigh;
    sd.levelOffset = levelOffset;
  } else if (nBands != sd.nBands || hop != sd.hop || !(sampleRate == sd.sampleRate) ||
             !(fLow == sd.fLow) || !(fHigh == sd.fHigh) || !(levelOffset == sd.levelOffset)) {
    std::fputs("SpezLautheitCalc: Warning: Parameters of first call are used\n", stderr);
    std::fflush(stderr);
  }
  const int32_t n = sd.fftSize;
  float* spectrum = sd.spectrum.data();
  WeightedPowerSpectrum(frame, spectrum, n, gs);
  BarkBandsByFFT(spectrum, n, 2, bandPower, sd.nBands, sd.sampleRate, sd.fLow, sd.fHigh, gs);
  sd.firstCall = 0;
}

}  // namespace detail

void SpezLautheitByFFT(const float* frame, int32_t frameLen, float* specLoud, int32_t nBands,
                       int32_t hop, float sampleRate, float fLow, float fHigh, float levelOffset,
                       generalstruct& gs) {
  detail::BandPowerOfFrame(frame, frameLen, specLoud, nBands, hop, sampleRate, fLow, fHigh,
                           levelOffset, gs);
  const SpezlautheitData& sd = gs.spezlautheit_data;
  LinToDB(specLoud, sd.nBands, 1);
  CalcMithoerschw(specLoud, sd.nBands, sd.hop, sd.sampleRate, sd.fLow, sd.fHigh, sd.levelOffset,
                  gs);
  CalcSpezLautheit(specLoud, sd.nBands, sd.sampleRate, sd.fLow, sd.fHigh, sd.levelOffset, gs);
}

}  // namespace vx
