// e^x for float in plain arithmetic that the compiler vectorises (a call
// to the C library's exp keeps a loop scalar): x = n ln 2 + r with |r| <=
// ln 2 / 2, e^r by a polynomial of degree 6 (the classic single-precision
// one, within 1 ulp of e^x), 2^n put into the exponent. x is first held to
// [−87.34, 88.72]: below, the result is e^−87.34 (1.2e−38); from 88.72 on,
// infinity; NaN gives NaN.
#ifndef SARNIC_RUNTIME_EXP_OF_H_
#define SARNIC_RUNTIME_EXP_OF_H_

#include <bit>
#include <cstdint>

namespace sarnic::runtime {

#include "runtime/exp_of.inc"

}  // namespace sarnic::runtime

#endif  // SARNIC_RUNTIME_EXP_OF_H_
