// sweep_stride.h - how densely a power-loss or crash sweep tries its cut
// points, the one knob for every sweep. CI runs each sweep in two trees: the
// AddressSanitizer tree tries every point (or the sweep's own sample where
// even that tree would take minutes), the ThreadSanitizer tree, which slows
// every write some tenfold, a sparser sample. ZENT_SWEEP_STRIDE=k in the
// environment overrides both for a local run: 1 tries every point, k > 1
// every k-th.
//
// A sampled sweep should still start at its first point and run on until a
// pass ends before its cut, so that both ends are met in every tree.
#pragma once

#include <cstdlib>

namespace testsupport {

// The step between the cut points a sweep tries: full (default every
// point) outside the ThreadSanitizer tree, sampled inside it, unless the
// environment names another.
inline int sweep_stride(int sampled, int full = 1) {
  const char* v = std::getenv("ZENT_SWEEP_STRIDE");
  if (v != nullptr && *v != '\0') {
    const int k = std::atoi(v);
    if (k >= 1) return k;
  }
#ifdef ZENT_TSAN
  (void)full;
  return sampled;
#else
  (void)sampled;
  return full;
#endif
}

}  // namespace testsupport
