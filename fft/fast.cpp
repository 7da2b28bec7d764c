#include "fast.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace vx {
namespace {

struct Constants {
  double pi;
  double p7;  // 1/sqrt(2)
};

// The values are the same for every call, so one initialisation serves the
// whole process and no two threads ever write them concurrently.
const Constants& Consts() {
  static const Constants c{4.0 * std::atan(1.0), 1.0 / std::sqrt(2.0)};
  return c;
}

// Twiddle angles are th2 * pi / nt with nt a power of two. Dividing pi by a
// power of two is exact, so th2 * (pi / nt) equals (th2 * kTwNt / nt) *
// (pi / kTwNt) to the last bit, and the float cosine and sine of every group
// with nt <= kTwNt can be read from one table built once per process.
// Larger transforms compute theirs per group.
constexpr int32_t kTwNt = 4096;

struct Twiddles {
  float c[kTwNt / 4 + 1];
  float s[kTwNt / 4 + 1];
  Twiddles() {
    const double piovn = Consts().pi / kTwNt;
    for (int32_t t = 0; t <= kTwNt / 4; ++t) {
      const double arg = t * piovn;
      c[t] = static_cast<float>(std::cos(arg));
      s[t] = static_cast<float>(std::sin(arg));
    }
  }
};

const Twiddles& Tw() {
  static const Twiddles t;
  return t;
}

// The nineteen nested loops shared by the radix-4 pass and the second
// reordering: level 1 runs from 2 to L[18] step 2, level l (2..19) from the
// current value of level l-1 to L[19-l] step L[20-l]; `work` receives every
// value of level 19 in order. The table is non-increasing and at least 2, so
// no range is ever empty and an odometer visits exactly the same values.
template <class F>
inline void Nest19(const int32_t (&L)[19], F&& work) {
  int32_t v[20];
  int32_t hi[20];
  int32_t step[20];
  hi[1] = L[18];
  step[1] = 2;
  for (int l = 2; l <= 19; ++l) {
    hi[l] = L[19 - l];
    step[l] = L[20 - l];
  }
  for (int l = 1; l <= 19; ++l) v[l] = 2;
  // Levels whose range holds one value never move; start the carry search at
  // the deepest level that can.
  int top = 1;
  for (int l = 1; l <= 19; ++l)
    if (hi[l] > 2) {
      top = l;
      break;
    }
  for (;;) {
    work(v[19]);
    v[19] += step[19];
    if (v[19] <= hi[19]) continue;
    int l = 18;
    while (l >= top) {
      v[l] += step[l];
      if (v[l] <= hi[l]) break;
      --l;
    }
    if (l < top) return;
    for (int k = l + 1; k <= 19; ++k) v[k] = v[l];
  }
}

}  // namespace

void Radix2Pass(int32_t span, float* P, float* Q) {
  for (int32_t k = 0; k < span; ++k) {
    const float t = P[k];
    P[k] = t + Q[k];
    Q[k] = t - Q[k];
  }
}

void Radix4Pass(int32_t span, int32_t nt, float* B0, float* B1, float* B2, float* B3, float* B4,
                float* B5, float* B6, float* B7) {
  int32_t L[19];
  L[0] = nt / 4;
  for (int k = 1; k <= 18; ++k) {
    if (L[k - 1] < 2) L[k - 1] = 2;
    if (L[k - 1] == 2)
      L[k] = 2;
    else
      L[k] = L[k - 1] / 2;
  }
  const Constants& cs = Consts();
  const double piovn = cs.pi / nt;
  const Twiddles* tw = nt <= kTwNt ? &Tw() : nullptr;
  const int32_t twScale = nt <= kTwNt ? kTwNt / nt : 0;
  int32_t jr = 2, ji = 3, jl = 2;

  Nest19(L, [&](int32_t jthet) {
    const int32_t th2 = jthet - 2;
    if (th2 <= 0) {
      for (int32_t k = 0; k < span; ++k) {
        const float t0 = B0[k] + B2[k];
        const float t1 = B1[k] + B3[k];
        B2[k] = B0[k] - B2[k];
        B3[k] = B1[k] - B3[k];
        B0[k] = t0 + t1;
        B1[k] = t0 - t1;
      }
      if (nt > 4) {
        for (int32_t k = 4 * span; k < 5 * span; ++k) {
          const float pr = static_cast<float>(cs.p7 * static_cast<double>(B1[k] - B3[k]));
          const float pi = static_cast<float>(cs.p7 * static_cast<double>(B1[k] + B3[k]));
          B3[k] = B2[k] + pi;
          B1[k] = pi - B2[k];
          B2[k] = B0[k] - pr;
          B0[k] = B0[k] + pr;
        }
      }
      return;
    }
    float c1, s1;
    if (tw) {
      c1 = tw->c[th2 * twScale];
      s1 = tw->s[th2 * twScale];
    } else {
      const double arg = th2 * piovn;
      c1 = static_cast<float>(std::cos(arg));
      s1 = static_cast<float>(std::sin(arg));
    }
    const float c2 = c1 * c1 - s1 * s1;
    const float s2 = 2.0f * c1 * s1;
    const float c3 = c1 * c2 - s1 * s2;
    const float s3 = c2 * s1 + s2 * c1;
    const int32_t j0 = jr * 4 * span;
    const int32_t k0 = ji * 4 * span;
    for (int32_t d = 0; d < span; ++d) {
      const int32_t j = j0 + d;
      const int32_t k = k0 + d;
      const float r1 = B1[j] * c1 - B5[k] * s1;
      const float r5 = B1[j] * s1 + B5[k] * c1;
      float t2 = B2[j] * c2 - B6[k] * s2;
      float t6 = B2[j] * s2 + B6[k] * c2;
      float t3 = B3[j] * c3 - B7[k] * s3;
      float t7 = B3[j] * s3 + B7[k] * c3;
      const float t0 = B0[j] + t2;
      const float t4 = B4[k] + t6;
      t2 = B0[j] - t2;
      t6 = B4[k] - t6;
      const float t1 = r1 + t3;
      const float t5 = r5 + t7;
      t3 = r1 - t3;
      t7 = r5 - t7;
      B0[j] = t0 + t1;
      B7[k] = t4 + t5;
      B6[k] = t0 - t1;
      B1[j] = t5 - t4;
      B2[j] = t2 - t7;
      B5[k] = t6 + t3;
      B4[k] = t2 + t7;
      B3[j] = t3 - t6;
    }
    jr += 2;
    ji -= 2;
    if (ji <= jl) {
      ji = 2 * jr - 1;
      jl = jr;
    }
  });
}

void Reorder1(int32_t m, float* b) {
  const int32_t n = int32_t{1} << m;
  if (n < 4) return;
  // Positions count from 1: position p is b[p - 1].
  int32_t k = 4, kl = 2;
  for (int32_t j = 4; j <= n; j += 2) {
    if (k > j) std::swap(b[j - 1], b[k - 1]);
    k -= 2;
    if (k <= kl) {
      k = 2 * j;
      kl = j;
    }
  }
}

void Reorder2(int32_t m, float* b) {
  int32_t L[19];
  L[0] = int32_t{1} << m;
  for (int k = 1; k <= 18; ++k) L[k] = k < m ? L[k - 1] / 2 : 2;
  int32_t ij = 2;
  Nest19(L, [&](int32_t jv) {
    if (ij < jv) {
      std::swap(b[ij - 2], b[jv - 2]);
      std::swap(b[ij - 1], b[jv - 1]);
    }
    ij += 2;
  });
}

void fast(float* b, int32_t n) {
  int32_t m = 0;
  for (int32_t i = 1; i <= 19; ++i) {
    if ((int32_t{1} << i) == n) {
      m = i;
      break;
    }
  }
  if (m == 0) {
    std::fputs("fast: N is not an allowable power of two\n", stderr);
    std::fflush(stderr);
    std::exit(1);
  }
  int32_t nt = 1;
  if (m % 2 != 0) {
    Radix2Pass(n / 2, b, b + n / 2);
    nt = 2;
  }
  for (int32_t i = 0; i < m / 2; ++i) {
    nt *= 4;
    const int32_t span = n / nt;
    Radix4Pass(span, nt, b, b + span, b + 2 * span, b + 3 * span, b, b + span, b + 2 * span,
               b + 3 * span);
  }
  Reorder1(m, b);
  Reorder2(m, b);
  b[n] = b[1];
  b[1] = 0.0f;
  b[n + 1] = 0.0f;
  for (int32_t i = 3; i < n; i += 2) b[i] = -b[i];
}

}  // namespace vx
