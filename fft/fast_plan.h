// Which groups each pass of `fast` has and their twiddle factors, worked out
// once per process for the passes with nt up to kPlanNt (and group by group
// for larger ones), and the index arithmetic of the plain loop nest they
// come from. Internal to the transform.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "fast_kernels.h"

namespace vx::plan {

// Everything a pass asks for is inline: a call out of the vector kernels
// would spill their registers.

struct Constants {
  double pi;
  double p7;  // 1/sqrt(2)
};

// The values are the same for every call, so one initialisation serves the
// whole process and no two threads ever write them concurrently.
inline const Constants& Consts() {
  static const Constants c{4.0 * std::atan(1.0), 1.0 / std::sqrt(2.0)};
  return c;
}

// The nineteen nested loops of the radix-4 pass and of the second reordering
// (level 1 from 2 to L[18] step 2, level l from the value of level l-1 to
// L[19-l] step L[20-l], with L halving down to 2) visit the level-19 values
// 2 + 2 * r, where r runs through 0 .. count-1 in bit-reversed order. A
// table-driven reversal gives the same values in the same order without the
// nest's carries, which would mispredict on almost every step.
struct Rev8 {
  uint8_t t[256];
  constexpr Rev8() : t{} {
    for (int i = 0; i < 256; ++i) {
      int r = 0;
      for (int k = 0; k < 8; ++k) r |= ((i >> k) & 1) << (7 - k);
      t[i] = static_cast<uint8_t>(r);
    }
  }
};
inline constexpr Rev8 kRev8;

// i reversed on `bits` bits (0 <= bits <= 18).
inline int32_t BitReverse(uint32_t i, int bits) {
  const uint32_t r = (uint32_t{kRev8.t[i & 0xff]} << 24) | (uint32_t{kRev8.t[(i >> 8) & 0xff]} << 16) |
                     (uint32_t{kRev8.t[(i >> 16) & 0xff]} << 8);
  return bits == 0 ? 0 : static_cast<int32_t>(r >> (32 - bits));
}

// v a power of two.
inline int Log2(int32_t v) { return std::countr_zero(static_cast<uint32_t>(v)); }

// The mirror of i within its octave [2^p, 2^(p+1)): 3 * 2^p - 1 - i (i >= 1).
inline int32_t Mirror(int32_t i) {
  return 3 * static_cast<int32_t>(std::bit_floor(static_cast<uint32_t>(i))) - 1 - i;
}

// Group g >= 1 of the pass with nt (> 8): its runs, jr = 2g and ji, the
// mirror of jr within its octave (where the nest's counters put it), and its
// twiddle factors for the angle th2 * pi / nt (piovn = pi / nt), with th2
// twice g reversed on the bits of the group count nt / 8 (bits = log2(nt / 8)).
inline void GroupAt(int32_t g, int bits, double piovn, int32_t& jr, int32_t& ji, lanes::Turns<float>& w) {
  const int32_t th2 = 2 * BitReverse(static_cast<uint32_t>(g), bits);
  const double arg = th2 * piovn;
  jr = 2 * g;
  ji = Mirror(jr);
  w = lanes::MakeTurns(static_cast<float>(std::cos(arg)), static_cast<float>(std::sin(arg)));
}

// Groups of a pass, one array per field so that a batch fills the vector
// lanes with one load; each factor array holds four readable floats past the
// last group.
struct GroupRun {
  const int32_t* jr;
  const int32_t* ji;
  const float* turn[6];  // c1, s1, c2, s2, c3, s3
};

// The groups of g from group i on.
inline GroupRun Skip(const GroupRun& g, int32_t i) {
  return {g.jr + i, g.ji + i, {g.turn[0] + i, g.turn[1] + i, g.turn[2] + i, g.turn[3] + i, g.turn[4] + i, g.turn[5] + i}};
}

// Groups worked out ahead, `size` at most.
template <int32_t size>
struct GroupTable {
  int32_t first[13] = {};  // where the groups of each log2(nt) or m start
  int32_t jr[size] = {}, ji[size] = {};
  float turn[6][size + 4] = {};

  void Set(int32_t at, int32_t jr_, int32_t ji_, const lanes::Turns<float>& w) {
    jr[at] = jr_, ji[at] = ji_;
    const float v[6] = {w.c1, w.s1, w.c2, w.s2, w.c3, w.s3};
    for (int f = 0; f < 6; ++f) turn[f][at] = v[f];
  }
  GroupRun From(int32_t at) const {
    return Skip({jr, ji, {turn[0], turn[1], turn[2], turn[3], turn[4], turn[5]}}, at);
  }
};

constexpr int32_t kPlanNt = 4096;
constexpr int32_t kPlanSize = kPlanNt / 4;  // > the sum over m of either table's groups

// Groups 1 .. nt/8 - 1 of the pass with nt (16 <= nt <= kPlanNt), in order.
struct PassPlan : GroupTable<kPlanSize> {
  PassPlan();
};
inline GroupRun PassGroups(int32_t nt) {
  static const PassPlan p;
  return p.From(p.first[Log2(nt)]);
}

// The last pass (span 1) of n = 2^m from 32 to kPlanNt writes its values
// straight to where the reorderings put them. Pair r of the result takes
// pair rev(r) of the pass (rev reverses m - 1 bits); for group g of the pass
// these are the pairs h = rev(4g) (with g = rev(h) on m - 3 bits), h + n/4,
// n/4 - h and n/2 - h. Its groups are therefore listed by h, from 0 to n/8 - 1,
// so that a batch of consecutive h writes consecutive pairs; the angle of
// group rev(h) is 2h * pi / n. Entry h = 0 stands in for group 0, which has
// no twiddle factors: a batch computes it as a dummy, then it is done apart.
// One past the last entry is readable.
struct LastPlan : GroupTable<kPlanSize> {
  LastPlan();
};
inline GroupRun LastGroups(int m) {
  static const LastPlan p;
  return p.From(p.first[m]);
}

}  // namespace vx::plan
