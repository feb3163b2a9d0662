// The self-checks that admit the erfc and expm1 lanes.

#include "eig/exact_erfc_lanes.hpp"
#include "eig/exact_expm1_lanes.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "eig/exact_exp_log.hpp"

namespace varnel::exact_exp_log {

#if defined(VARNEL_HAVE_EXACT_LANES)
namespace {

// The self-check's inputs: a fine grid over the whole range where erfc is
// neither 0 nor 2, a few ulps around every range boundary on both sides and
// both signs, and pseudo-random values spread over the magnitudes.
constexpr int kGridPoints = 60001;
constexpr double kGridHalfWidth = 30.0;
constexpr int kUlpsAroundBoundaries = 16;
constexpr int kRandomPoints = 20000;

std::vector<double> check_inputs() {
  namespace c = lanes::erfc_coefficients;
  std::vector<double> x;
  x.reserve(kGridPoints + kRandomPoints + 1024);
  for (int i = 0; i < kGridPoints; ++i) {
    x.push_back(-kGridHalfWidth + 2.0 * kGridHalfWidth * i / (kGridPoints - 1));
  }
  for (const double b : {c::kTinyArg, 0.25, c::kSmallArg, c::kMidArg, c::kTailSplit, c::kNegativeSaturation,
                         c::kLargeArg, 0.0}) {
    for (const double sign : {1.0, -1.0}) {
      double up = sign * b;
      double down = sign * b;
      for (int k = 0; k < kUlpsAroundBoundaries; ++k) {
        x.push_back(up);
        x.push_back(down);
        up = std::nextafter(up, __builtin_inf());
        down = std::nextafter(down, -__builtin_inf());
      }
    }
  }
  std::uint64_t state = 0x9e3779b97f4a7c15u;
  for (int i = 0; i < kRandomPoints; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    // Magnitudes from 2^-60 to 2^5, both signs.
    const double unit = static_cast<double>(state >> 11) * 0x1p-53;
    const double magnitude = std::ldexp(1.0 + unit, static_cast<int>(state % 66) - 60);
    x.push_back((state & 1u) != 0 ? -magnitude : magnitude);
  }
  return x;
}

VARNEL_TARGET_LANES bool erfc_lanes_match_library(const LibmTables& t) {
  const std::vector<double> x = check_inputs();
  for (std::size_t i = 0; i + 4 <= x.size(); i += 4) {
    __m256d special, erfc_x, erfc_neg_x;
    alignas(32) double out[4];
    alignas(32) double out_neg[4];
    alignas(32) double bad[4];
    lanes::erfc_pair4(t, _mm256_loadu_pd(x.data() + i), erfc_x, erfc_neg_x, special);
    _mm256_store_pd(out, erfc_x);
    _mm256_store_pd(out_neg, erfc_neg_x);
    _mm256_store_pd(bad, special);
    for (int j = 0; j < 4; ++j) {
      if (std::bit_cast<std::uint64_t>(bad[j]) != 0) continue;
      if (std::bit_cast<std::uint64_t>(out[j]) != std::bit_cast<std::uint64_t>(std::erfc(x[i + j])) ||
          std::bit_cast<std::uint64_t>(out_neg[j]) != std::bit_cast<std::uint64_t>(std::erfc(-x[i + j]))) {
        return false;
      }
    }
  }
  return true;
}

// expm1's inputs: non-positive only, a fine grid down to past its
// saturation at −56·ln2, a few ulps around each range boundary, and
// pseudo-random magnitudes.
constexpr int kExpm1GridPoints = 50001;
constexpr double kExpm1GridDepth = 50.0;

std::vector<double> expm1_check_inputs() {
  namespace c = lanes::expm1_coefficients;
  std::vector<double> x;
  x.reserve(kExpm1GridPoints + kRandomPoints + 512);
  for (int i = 0; i < kExpm1GridPoints; ++i) x.push_back(-kExpm1GridDepth * i / (kExpm1GridPoints - 1));
  for (const double b : {c::kTiny, c::kReduce, c::kGeneralK, c::kSaturation, 0.5 * 0.6931471805599453,
                         1.5 * 0.6931471805599453}) {
    double up = -b;
    double down = -b;
    for (int k = 0; k < kUlpsAroundBoundaries; ++k) {
      x.push_back(up);
      x.push_back(down);
      up = std::nextafter(up, 0.0);
      down = std::nextafter(down, -__builtin_inf());
    }
  }
  std::uint64_t state = 0x2545f4914f6cdd1du;
  for (int i = 0; i < kRandomPoints; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    const double unit = static_cast<double>(state >> 11) * 0x1p-53;
    x.push_back(-std::ldexp(1.0 + unit, static_cast<int>(state % 67) - 60));
  }
  x.push_back(-0.0);
  x.push_back(-__builtin_inf());
  return x;
}

VARNEL_TARGET_LANES bool expm1_lanes_match_library() {
  const std::vector<double> x = expm1_check_inputs();
  for (std::size_t i = 0; i + 4 <= x.size(); i += 4) {
    __m256d special;
    alignas(32) double out[4];
    alignas(32) double bad[4];
    _mm256_store_pd(out, lanes::expm1_nonpositive4(_mm256_loadu_pd(x.data() + i), special));
    _mm256_store_pd(bad, special);
    for (int j = 0; j < 4; ++j) {
      if (std::bit_cast<std::uint64_t>(bad[j]) != 0) continue;
      if (std::bit_cast<std::uint64_t>(out[j]) != std::bit_cast<std::uint64_t>(std::expm1(x[i + j]))) return false;
    }
  }
  return true;
}

// The eight-lane variants on the same inputs.
VARNEL_TARGET_LANES8 bool erfc_lanes8_match_library(const LibmTables& t) {
  const std::vector<double> x = check_inputs();
  for (std::size_t i = 0; i + 8 <= x.size(); i += 8) {
    __mmask8 special;
    __m512d erfc_x, erfc_neg_x;
    alignas(64) double out[8];
    alignas(64) double out_neg[8];
    lanes::erfc_pair8(t, _mm512_loadu_pd(x.data() + i), erfc_x, erfc_neg_x, special);
    _mm512_store_pd(out, erfc_x);
    _mm512_store_pd(out_neg, erfc_neg_x);
    for (int j = 0; j < 8; ++j) {
      if (((special >> j) & 1) != 0) continue;
      if (std::bit_cast<std::uint64_t>(out[j]) != std::bit_cast<std::uint64_t>(std::erfc(x[i + j])) ||
          std::bit_cast<std::uint64_t>(out_neg[j]) != std::bit_cast<std::uint64_t>(std::erfc(-x[i + j]))) {
        return false;
      }
    }
  }
  return true;
}

VARNEL_TARGET_LANES8 bool expm1_lanes8_match_library() {
  const std::vector<double> x = expm1_check_inputs();
  for (std::size_t i = 0; i + 8 <= x.size(); i += 8) {
    __mmask8 special;
    alignas(64) double out[8];
    _mm512_store_pd(out, lanes::expm1_nonpositive8(_mm512_loadu_pd(x.data() + i), special));
    for (int j = 0; j < 8; ++j) {
      if (((special >> j) & 1) != 0) continue;
      if (std::bit_cast<std::uint64_t>(out[j]) != std::bit_cast<std::uint64_t>(std::expm1(x[i + j]))) return false;
    }
  }
  return true;
}

// The tables when `matches` (a self-check that may run out of memory) holds
// on top of `tables`, else null.
template <class Check>
const LibmTables* checked(const LibmTables* tables, Check&& matches) noexcept {
  try {
    return tables != nullptr && matches() ? tables : nullptr;
  } catch (...) {  // no memory for the check's inputs: the library call it is
    return nullptr;
  }
}

}  // namespace
#endif

const LibmTables* erfc_lanes8_tables() noexcept {
#if defined(VARNEL_HAVE_EXACT_LANES)
  static const LibmTables* const tables = checked(
      erfc_lanes_tables() != nullptr ? lanes8_tables() : nullptr, [] { return erfc_lanes8_match_library(*lanes8_tables()); });
  return tables;
#else
  return nullptr;
#endif
}

const LibmTables* expm1_lanes8_tables() noexcept {
#if defined(VARNEL_HAVE_EXACT_LANES)
  static const LibmTables* const tables =
      checked(expm1_lanes_tables() != nullptr ? lanes8_tables() : nullptr, [] { return expm1_lanes8_match_library(); });
  return tables;
#else
  return nullptr;
#endif
}

const LibmTables* expm1_lanes_tables() noexcept {
#if defined(VARNEL_HAVE_EXACT_LANES)
  static const LibmTables* const tables = checked(lanes_tables(), [] { return expm1_lanes_match_library(); });
  return tables;
#else
  return nullptr;
#endif
}

const LibmTables* erfc_lanes_tables() noexcept {
#if defined(VARNEL_HAVE_EXACT_LANES)
  static const LibmTables* const tables =
      checked(lanes_tables(), [] { return erfc_lanes_match_library(*lanes_tables()); });
  return tables;
#else
  return nullptr;
#endif
}

}  // namespace varnel::exact_exp_log
