// State record of the loudness model and its set-up operations.
//
// One generalstruct serves one analysis run: it starts with the default
// break-point tables below, builds its per-bin and per-band arrays on first
// use, and owns every array (all released with the record). A record is set
// up once; it is not meant to be reused with other parameters.
//
// Every failure here is fatal: one line on stderr, exit status 1.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vx {

// Outer-ear transfer.
struct AussnorhData {
  // 0: not built; 1: amplitude factors; 2: power factors; >= 3: decibels.
  int32_t mode = 0;
  // Break points in Hz, ascending; InitAussenOhrUebrtrgmss rescales the
  // leading ones to bin positions in place.
  std::array<float, 26> freq{0.f,    150.f,  250.f,  350.f,  450.f,  570.f,  700.f,
                             840.f,  1000.f, 1170.f, 1370.f, 1600.f, 1850.f, 2150.f,
                             2500.f, 2900.f, 3400.f, 4000.f, 4800.f, 5800.f, 7000.f,
                             8500.f, 10500.f, 13500.f, 16000.f, 24000.f};
  // Transfer in dB at each break point; positive attenuates.
  std::array<float, 26> level{0.f,   0.1f,  0.6f,  1.0f,  1.4f,  2.0f,  2.5f,
                              2.8f,  3.0f,  2.3f,  1.2f,  -0.5f, -2.1f, -3.7f,
                              -5.2f, -6.5f, -7.1f, -6.6f, -4.1f, -0.5f, 3.3f,
                              6.9f,  10.6f, 23.5f, 40.f,  60.f};
  std::array<float, 26> curve{};
  std::vector<float> uebrtrgmss;  // per FFT bin, n/2 + 1 entries
};

// Critical-band rate of every whole frequency 0 .. 24000 Hz.
struct BarkscaleData {
  std::vector<float> table;
  int32_t needsInit = 1;
};

// Threshold in quiet and masked threshold per band.
struct HoerschwData {
  // Break points in Hz; inithoerschw turns them into band positions in place.
  std::array<float, 14> freq{0.f,   50.f,  150.f,  250.f,  350.f,  450.f,  570.f,
                             700.f, 840.f, 1000.f, 1170.f, 1370.f, 1600.f, 24000.f};
  std::array<float, 14> level{80.f, 42.f, 19.f, 12.f, 9.f, 7.f, 6.f,
                              5.f,  4.f,  4.f,  4.f,  4.f, 4.f, 4.f};
  std::array<float, 14> curve{-2.f, -2.f, -2.f, -2.f, -2.f, -2.f, -2.f,
                              -2.f, -1.f, 0.f,  0.f,  0.f,  0.f,  0.f};
  std::vector<float> hoerschw;     // dB SPL, nBands + 1 entries
  std::vector<float> mithoerschw;  // dB on the spectrum's scale, nBands + 1 entries
  int32_t initialised = 0;

  // Derived from hoerschw once it is drawn, so that frames do not recompute
  // them: 10^(0.1 H[k]) and 0.08 (2.5 * that)^0.23.
  std::vector<double> etq;
  std::vector<double> etqScale;

  // How far band i's level spreads to band j, the level left out:
  // (position of j - position of i) times the downward slope for j < i and
  // times each of the four upward slopes otherwise, in groups of four bands.
  // It depends on the layout only, so the first frame works it out.
  std::vector<double> spread;
  int32_t spreadBands = -1;
  double spreadLow = 0.0, spreadStep = 0.0;
};

// Band layout of one run, derived once from the run's parameters; a frame
// only reads it. `key*` records which parameters it was built for.
struct BandLayout {
  int32_t built = 0;
  int32_t keyN = 0, keyStride = 0, keyBands = 0;
  float keyRate = 0.f, keyLow = 0.f, keyHigh = 0.f;
  std::vector<int32_t> iLo, iHi;  // first and last bin of each band
  std::vector<double> wLo, wHi;   // weights of the two edge bins
};

// Parameters of the run, fixed by the first frame.
struct SpezlautheitData {
  int32_t firstCall = 1;
  std::vector<float> spectrum;  // fftSize + 5 entries
  int32_t fftSize = 0;
  int32_t nBands = 0;
  int32_t hop = 0;
  float sampleRate = 0.f;
  float fLow = 0.f;
  float fHigh = 0.f;
  float levelOffset = 0.f;
  BandLayout layout;
};

// Analysis window.
struct WinFFTBetragPhaseData {
  int32_t needsInit = 1;
  std::vector<float> anaWin;  // n entries
};

struct generalstruct {
  AussnorhData aussnorh_data;
  BarkscaleData barkscale_data;
  HoerschwData hoerschw_data;
  SpezlautheitData spezlautheit_data;
  WinFFTBetragPhaseData WinFFTBetragPhase_data;
};

// Writes the message and a line end to stderr, flushes, exits with status.
[[noreturn]] void FatalError(std::string_view message, int32_t status);

// Bark scale.
void InitBarkscale(generalstruct& gs);
float HzToBark(float f, generalstruct& gs);
float BarkToHz(float z, generalstruct& gs);
float BarkLowerEdge(float f, generalstruct& gs);
float BarkUpperEdge(float f, generalstruct& gs);

// Draws count values from a to b with curvature c (0: straight line).
void InterpolSegment(float a, float c, float b, int32_t count, float* out);

void DBToPower(float* values, int32_t count, int32_t stride);
void DBToAmplitude(float* values, int32_t count, int32_t stride);

void InitAussenOhrUebrtrgmss(float sampleRate, int32_t n, int32_t mode, generalstruct& gs);
void ApplyAussenOhrUebrtrgmss(float* spectrum, int32_t n, int32_t stride, generalstruct& gs);

void inithoerschw(float sampleRate, float fLow, float fHigh, int32_t nBands, float levelOffset,
                  generalstruct& gs);

// FFT length whose bin spacing is about as fine as the distance between the
// first two band centres, or finer.
void SpezLautheitFFTLength(float sampleRate, int32_t nBands, float fLow, float fHigh,
                           int32_t& fftLength, generalstruct& gs);

}  // namespace vx
