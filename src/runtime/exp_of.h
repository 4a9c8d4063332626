// e^x for float in plain arithmetic that the compiler vectorises (a call
// to the C library's exp keeps a loop scalar): x = n ln 2 + r with |r| <=
// ln 2 / 2, e^r by a polynomial of degree 6 (the classic single-precision
// one, within 1 ulp of e^x), 2^n put into the exponent. Below −87.34 it
// is 0, above 88.38 infinity; NaN gives NaN.
#ifndef SARNIC_RUNTIME_EXP_OF_H_
#define SARNIC_RUNTIME_EXP_OF_H_

#include <bit>
#include <cstdint>
#include <limits>

namespace sarnic::runtime {

inline float ExpOf(float x) {
  constexpr float kHi = 88.3762626647949f, kLo = -87.3365447504019f;
  float c = x > kHi ? kHi : x;
  c = c < kLo ? kLo : c;
  const float fx = c * 1.44269504088896341f;
  const auto n = static_cast<int32_t>(fx + (fx >= 0.0f ? 0.5f : -0.5f));
  const auto fn = static_cast<float>(n);
  // ln 2 in two parts, so that r keeps its low bits.
  const float r = (c - fn * 0.693359375f) - fn * -2.12194440e-4f;
  float p = 1.9875691500e-4f;
  p = p * r + 1.3981999507e-3f;
  p = p * r + 8.3334519073e-3f;
  p = p * r + 4.1665795894e-2f;
  p = p * r + 1.6666665459e-1f;
  p = p * r + 5.0000001201e-1f;
  const float y = p * r * r + r + 1.0f;
  const float scale =
      std::bit_cast<float>(static_cast<uint32_t>(n + 127) << 23);
  // Every operation done before the selections, none inside one: a loop
  // with floating-point work inside a condition does not vectorise.
  const float v = y * scale;
  const float out = x > kHi ? std::numeric_limits<float>::infinity() : v;
  return x < kLo ? 0.0f : out;
}

}  // namespace sarnic::runtime

#endif  // SARNIC_RUNTIME_EXP_OF_H_
