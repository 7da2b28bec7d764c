#include "fast_plan.h"

namespace vx::plan {

using lanes::MakeTurns;
using lanes::Turns;

PassPlan::PassPlan() {
  int32_t at = 0;
  for (int m = 4; m <= 12; ++m) {
    first[m] = at;
    const int32_t nt = int32_t{1} << m;
    for (int32_t g = 1; g < nt / 8; ++g, ++at) {
      int32_t jr_, ji_;
      Turns<float> w;
      GroupAt(g, m - 3, Consts().pi / nt, jr_, ji_, w);
      Set(at, jr_, ji_, w);
    }
  }
}

LastPlan::LastPlan() {
  int32_t at = 0;
  for (int m = 5; m <= 12; ++m) {
    first[m] = at;
    const int32_t n = int32_t{1} << m;
    Set(at++, 0, 1, MakeTurns(1.0f, 0.0f));
    for (int32_t h = 1; h < n / 8; ++h, ++at) {
      int32_t jr_, ji_;
      Turns<float> w;
      GroupAt(BitReverse(static_cast<uint32_t>(h), m - 3), m - 3, Consts().pi / n, jr_, ji_, w);
      Set(at, jr_, ji_, w);
    }
  }
}

}  // namespace vx::plan
