#include "model/debug_text.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace varnel {

namespace {

constexpr double kExponentFormBelow = 1e-4;
constexpr double kExponentFormFrom = 1e16;

}  // namespace

std::string debug_f64(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  std::string out;
  out.reserve(32);
  if (std::signbit(value)) out.push_back('-');
  const double magnitude = std::fabs(value);
  if (magnitude == 0.0) {
    out.append("0.0");
    return out;
  }

  // Shortest round-trip digits d0.d1d2... and the decimal exponent.
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e_pos = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e_pos)) {
    if (c != '.') digits.push_back(c);
  }
  int exponent = 0;
  const std::string_view exponent_text = text.substr(e_pos + 1);
  const char* exponent_begin = exponent_text.data() + (exponent_text.front() == '+' ? 1 : 0);
  std::from_chars(exponent_begin, exponent_text.data() + exponent_text.size(), exponent);

  if (magnitude < kExponentFormBelow || magnitude >= kExponentFormFrom) {
    out.push_back(digits[0]);
    if (digits.size() > 1) {
      out.push_back('.');
      out.append(digits, 1);
    }
    out.push_back('e');
    out.append(std::to_string(exponent));
    return out;
  }
  if (exponent < 0) {
    out.append("0.");
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out.append(digits);
    return out;
  }
  const auto int_len = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= int_len) {
    out.append(digits);
    out.append(int_len - digits.size(), '0');
    out.append(".0");
    return out;
  }
  out.append(digits, 0, int_len);
  out.push_back('.');
  out.append(digits, int_len);
  return out;
}

}  // namespace varnel
