// Steps of one frame shared by the literal frame and the fast one; not part
// of the model's public interface.
#pragma once

#include <cstdint>

#include "generalstruct.h"

namespace vx::detail {

// Band layout on the Bark scale: first centre and spacing.
struct Layout {
  float zLow, dz;
};
Layout BandLayoutOf(int32_t nBands, float fLow, float fHigh, generalstruct& gs);

// Draws the thresholds on first use; false when the record's tables cannot
// serve nBands bands (the loudness steps then leave their input alone).
bool ThresholdsFor(float sampleRate, float fLow, float fHigh, int32_t nBands, float levelOffset,
                   generalstruct& gs);

// Slope in dB per Bark of a band's masking toward higher bands: the louder
// the band, the flatter.
inline constexpr double kUpwardSlopes[4] = {-6.0, -9.0, -12.0, -15.0};
inline int32_t UpwardSlopeIndex(double level, double offset) {
  const double lspl = level + offset;
  return lspl > 80.0 ? 0 : lspl > 60.0 ? 1 : lspl > 40.0 ? 2 : 3;
}
inline double UpwardSlope(double level, double offset) {
  return kUpwardSlopes[UpwardSlopeIndex(level, offset)];
}

// One frame's spreading: the band levels (dB on the spectrum's scale), the
// layout and the offset to dB SPL.
struct MaskingWalk {
  const float* levels;
  int32_t nBands;
  double zLow, dz, offset;
};

// Decay and spreading of the masked threshold (nBands + 1 entries) over
// vector lanes: the same floats as the loop nest in CalcMithoerschw. False,
// with the threshold untouched, where the machine has no lanes for it or
// the parameters leave the result to the loop nest.
bool MaskInLanes(HoerschwData& h, double decay, const MaskingWalk& walk);

// MaskInLanes uses the widest lanes of doubles the machine has: 8 with
// AVX-512, 4 with AVX2, else none. This narrows them to at most `widest`
// for every later call (8 restores the machine's), so that a test can try
// each width; returns the width now in use.
int32_t NarrowMaskLanes(int32_t widest);

// Window, transform, power and outer-ear weighting of one frame: the same
// floats as WinFFTBetragPhase(frame, spectrum, n, 0, 0) followed by
// ApplyAussenOhrUebrtrgmss(spectrum, n, 2), in one pass over the bins.
void WeightedPowerSpectrum(const float* frame, float* spectrum, int32_t n, generalstruct& gs);

// The first part of SpezLautheitByFFT: sets up the run on the first call
// (or warns about changed parameters on a later one) and leaves the power
// of each band in bandPower[0 .. nBands-1]. Marks the record as set up.
void BandPowerOfFrame(const float* frame, int32_t frameLen, float* bandPower, int32_t nBands,
                      int32_t hop, float sampleRate, float fLow, float fHigh, float levelOffset,
                      generalstruct& gs);

}  // namespace vx::detail
