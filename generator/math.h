#pragma once

// Base raised to a non-negative integer power by squaring; ipow(b, 0) is 1. A negative exponent
// gives 1 / ipow(base, -exp).
template <typename T>
T ipow(T base, int exp) {
  if (exp < 0) {
    return T(1) / ipow(base, -exp);
  }
  T result = T(1);
  for (;;) {
    if (exp & 1) {
      result *= base;
    }
    exp >>= 1;
    if (exp == 0) {
      break;
    }
    base *= base;
  }
  return result;
}

namespace tesmo {

// -1 for x < 0, 1 for x > 0, 0 otherwise (also for -0.0 and NaN).
inline int Sign(float x) { return x < 0.f ? -1 : (x > 0.f ? 1 : 0); }

}  // namespace tesmo
