// The transform and one loudness frame, timed side by side with FFTW's
// single-precision real-to-complex transform (bench-dsp.sh prints the ratios).
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <type_traits>
#include <random>
#include <vector>

#include "SpezLautheit.h"
#include "SpezLautheitFast.h"
#include "fast.h"
#include "generalstruct.h"

namespace {

std::vector<float> Noise(int32_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> x(n);
  for (float& v : x) v = u(rng);
  return x;
}

// Both transforms start every iteration from a fresh copy of the input,
// since ours works in place.
void BM_fast(benchmark::State& state) {
  const int32_t n = static_cast<int32_t>(state.range(0));
  const std::vector<float> in = Noise(n, 1);
  std::vector<float> b(n + 2);
  for (auto _ : state) {
    std::memcpy(b.data(), in.data(), n * sizeof(float));
    vx::fast(b.data(), n);
    benchmark::DoNotOptimize(b.data());
    benchmark::ClobberMemory();
  }
}

struct FftwFree {
  void operator()(void* p) const { fftwf_free(p); }
};
struct FftwPlanDestroy {
  void operator()(fftwf_plan p) const { fftwf_destroy_plan(p); }
};

void BM_fftw_r2c(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<float> in = Noise(n, 1);
  std::unique_ptr<float, FftwFree> x(fftwf_alloc_real(n));
  std::unique_ptr<fftwf_complex, FftwFree> y(fftwf_alloc_complex(n / 2 + 1));
  std::unique_ptr<std::remove_pointer_t<fftwf_plan>, FftwPlanDestroy> plan(
      fftwf_plan_dft_r2c_1d(n, x.get(), y.get(), FFTW_MEASURE));
  for (auto _ : state) {
    std::memcpy(x.get(), in.data(), n * sizeof(float));
    fftwf_execute(plan.get());
    benchmark::DoNotOptimize(y.get());
    benchmark::ClobberMemory();
  }
}

// One analysis frame with the silence detector's parameters at 44.1 kHz.
// The frames cycle through a loud tone, speech-like noise and silence so that
// the masking walks run their usual lengths.
template <class Frame>
void LoudnessFrames(benchmark::State& state, Frame frame) {
  constexpr int32_t kN = 512, kBands = 25, kHop = 220;
  std::vector<std::vector<float>> frames;
  for (int i = 0; i < 8; ++i) {
    std::vector<float> x = Noise(kN, 10 + i);
    const float amp = i == 7 ? 0.0f : std::pow(10.0f, -0.4f * i);
    for (int32_t j = 0; j < kN; ++j)
      x[j] = amp * (0.3f * x[j] + 0.7f * std::sin(2.0f * 3.14159265f * 440.0f * (i + 1) * j / 44100.0f));
    frames.push_back(x);
  }
  vx::generalstruct gs;
  std::vector<float> out(kBands + 1);
  frame(frames[0].data(), kN, out.data(), kBands, kHop, 44100, 16, 22050, 94, gs);
  size_t i = 0;
  for (auto _ : state) {
    frame(frames[i].data(), kN, out.data(), kBands, kHop, 44100, 16, 22050, 94, gs);
    benchmark::DoNotOptimize(out.data());
    i = (i + 1) % frames.size();
  }
}

void BM_SpezLautheitByFFT(benchmark::State& state) { LoudnessFrames(state, vx::SpezLautheitByFFT); }

// The same frames with the elementary functions over vector lanes; the
// label names the instruction set that ran.
void BM_SpezLautheitByFFTFast(benchmark::State& state) {
  state.SetLabel(vx::FastKernelName(vx::BestFastKernel()));
  LoudnessFrames(state, vx::SpezLautheitByFFTFast);
}

// The same frames with each instruction set (by FastKernel's number); those
// this machine lacks are skipped.
void BM_SpezLautheitByFFTFastWith(benchmark::State& state) {
  const auto kernel = static_cast<vx::FastKernel>(state.range(0));
  state.SetLabel(vx::FastKernelName(kernel));
  if (!vx::FastKernelRuns(kernel)) {
    state.SkipWithError("not on this machine");
    return;
  }
  LoudnessFrames(state,
                 [kernel](auto&&... args) { vx::SpezLautheitByFFTFastWith(kernel, args...); });
}

// On a shared machine the fastest repetition is the steadiest estimate of
// the cost itself; bench-dsp.sh reports it next to the median.
double Fastest(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

}  // namespace

BENCHMARK(BM_fast)->Arg(512)->Arg(1024)->Arg(4096)->ComputeStatistics("min", Fastest);
BENCHMARK(BM_fftw_r2c)->Arg(512)->Arg(1024)->Arg(4096)->ComputeStatistics("min", Fastest);
BENCHMARK(BM_SpezLautheitByFFT)->ComputeStatistics("min", Fastest);
BENCHMARK(BM_SpezLautheitByFFTFast)->ComputeStatistics("min", Fastest);
BENCHMARK(BM_SpezLautheitByFFTFastWith)
    ->DenseRange(static_cast<int>(vx::FastKernel::kSse2), static_cast<int>(vx::FastKernel::kAvx512))
    ->ComputeStatistics("min", Fastest);
BENCHMARK_MAIN();
