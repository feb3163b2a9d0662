#pragma once
// Debug text of doubles: the shortest decimal form that reads back to the
// same value, always with a fractional digit in positional form ("0.0",
// "-0.0", "2.0", "0.25"), and in exponent form for non-zero magnitudes below
// 1e-4 or from 1e16 on ("1e-5", "1.5e16"); "NaN", "inf", "-inf".

#include <string>

namespace varnel {

std::string debug_f64(double value);

}  // namespace varnel
