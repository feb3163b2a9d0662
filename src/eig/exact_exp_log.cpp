#include "eig/exact_exp_log.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "eig/exact_exp_log_lanes.hpp"
#include "sampler/math.hpp"

#if defined(VARNEL_HAVE_EXACT_LANES)
#include <cpuid.h>
#include <elf.h>
#include <link.h>
#endif

namespace varnel::exact_exp_log {
namespace {

#if defined(VARNEL_HAVE_EXACT_LANES)

// The library keeps each function's constants in one record; these are the
// record layouts of the version this was written against, and the first
// words identify a record. A record that is not found, or whose lanes do not
// pass the self-check, leaves the lanes off.
constexpr std::uint64_t kExpRecordFirst = 0x40671547652b82feu;  // 128/ln 2
constexpr std::uint64_t kExpRecordShift = 0x4338000000000000u;  // 0x1.8p52 at word 7
constexpr std::size_t kExpShiftWord = 7;
constexpr std::size_t kExpPolyWord = 3;
constexpr std::size_t kExpTableWord = 14;
constexpr std::uint64_t kLogRecordFirst = 0x3fe62e42fefa3800u;  // the high part of ln 2
constexpr std::uint64_t kLogNegHalf = 0xbfe0000000000000u;      // -0.5 at word 7
constexpr std::size_t kLogPolyWord = 2;
constexpr std::size_t kLogNearOneWord = 7;
constexpr std::size_t kLogTableWord = 18;
constexpr std::size_t kExpRecordWords = kExpTableWord + 256;
constexpr std::size_t kLogRecordWords = kLogTableWord + 256;

struct Region {
  const unsigned char* begin = nullptr;
  std::size_t size = 0;
};

struct Search {
  const std::uint64_t* exp_record = nullptr;
  const std::uint64_t* log_record = nullptr;
};

inline std::uint64_t word_at(const unsigned char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

void scan_region(Region region, Search& found) noexcept {
  if (region.size < kLogRecordWords * 8) return;
  const auto base = reinterpret_cast<std::uintptr_t>(region.begin);
  const std::size_t skip = (8 - base % 8) % 8;
  for (std::size_t off = skip; off + kLogRecordWords * 8 <= region.size; off += 8) {
    const unsigned char* p = region.begin + off;
    const std::uint64_t first = word_at(p);
    if (first == kExpRecordFirst && found.exp_record == nullptr &&
        word_at(p + kExpShiftWord * 8) == kExpRecordShift && word_at(p + kExpTableWord * 8) == 0 &&
        word_at(p + (kExpTableWord + 1) * 8) == std::bit_cast<std::uint64_t>(1.0)) {
      found.exp_record = reinterpret_cast<const std::uint64_t*>(p);
    } else if (first == kLogRecordFirst && found.log_record == nullptr &&
               word_at(p + kLogNearOneWord * 8) == kLogNegHalf) {
      found.log_record = reinterpret_cast<const std::uint64_t*>(p);
    }
  }
}

int scan_object(dl_phdr_info* info, std::size_t, void* data) noexcept {
  auto& found = *static_cast<Search*>(data);
  const std::string_view name = info->dlpi_name != nullptr ? info->dlpi_name : "";
  if (name.find("/libm.so") == std::string_view::npos && !name.starts_with("libm.so")) return 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const auto& ph = info->dlpi_phdr[i];
    // Constants live in a readable segment that is neither writable nor code.
    if (ph.p_type != PT_LOAD || (ph.p_flags & PF_R) == 0 || (ph.p_flags & (PF_W | PF_X)) != 0) continue;
    scan_region({reinterpret_cast<const unsigned char*>(info->dlpi_addr + ph.p_vaddr),
                 static_cast<std::size_t>(ph.p_memsz)},
                found);
  }
  return found.exp_record != nullptr && found.log_record != nullptr ? 1 : 0;
}

double as_double(std::uint64_t w) noexcept { return std::bit_cast<double>(w); }

std::optional<LibmTables> copy_tables(const Search& found) noexcept {
  if (found.exp_record == nullptr || found.log_record == nullptr) return std::nullopt;
  LibmTables t{};
  const std::uint64_t* e = found.exp_record;
  t.inv_ln2_n = as_double(e[0]);
  t.neg_ln2_hi_n = as_double(e[1]);
  t.neg_ln2_lo_n = as_double(e[2]);
  t.c2 = as_double(e[kExpPolyWord]);
  t.c3 = as_double(e[kExpPolyWord + 1]);
  t.c4 = as_double(e[kExpPolyWord + 2]);
  t.c5 = as_double(e[kExpPolyWord + 3]);
  t.shift = as_double(e[kExpShiftWord]);
  std::memcpy(t.exp_tab, e + kExpTableWord, sizeof t.exp_tab);
  const std::uint64_t* l = found.log_record;
  t.ln2_hi = as_double(l[0]);
  t.ln2_lo = as_double(l[1]);
  for (int i = 0; i < 5; ++i) t.a[i] = as_double(l[kLogPolyWord + i]);
  for (int i = 0; i < 11; ++i) t.b[i] = as_double(l[kLogNearOneWord + i]);
  std::memcpy(t.log_tab, l + kLogTableWord, sizeof t.log_tab);
  return t;
}

// Four inputs through the lanes, library calls for the special lanes; the
// first `count` results are written.
template <bool IsExp>
VARNEL_TARGET_LANES void lanes_block(const LibmTables& t, const double* in, double* res,
                                     std::size_t count) noexcept {
  const __m256d v = _mm256_loadu_pd(in);
  __m256d special;
  const __m256d y = IsExp ? lanes::exp4(t, v, special) : lanes::log4(t, v, special);
  alignas(32) double ys[4];
  _mm256_store_pd(ys, y);
  const int mask = _mm256_movemask_pd(special);
  for (std::size_t j = 0; j < count; ++j) {
    res[j] = ((mask >> j) & 1) != 0 ? (IsExp ? std::exp(in[j]) : std::log(in[j])) : ys[j];
  }
}

template <bool IsExp>
VARNEL_TARGET_LANES8 void lanes_block8(const LibmTables& t, const double* in, double* res,
                                       std::size_t count) noexcept {
  const __m512d v = _mm512_loadu_pd(in);
  __mmask8 special;
  const __m512d y = IsExp ? lanes::exp8(t, v, special) : lanes::log8(t, v, special);
  alignas(64) double ys[8];
  _mm512_store_pd(ys, y);
  for (std::size_t j = 0; j < count; ++j) {
    res[j] = ((special >> j) & 1) != 0 ? (IsExp ? std::exp(in[j]) : std::log(in[j])) : ys[j];
  }
}

template <bool IsExp>
void lanes_array(const LibmTables& t, const double* x, double* out, std::size_t n, bool eight) noexcept {
  const std::size_t width = eight ? 8 : 4;
  const auto block = [&](const double* in, double* res, std::size_t count) {
    if (eight) {
      lanes_block8<IsExp>(t, in, res, count);
    } else {
      lanes_block<IsExp>(t, in, res, count);
    }
  };
  std::size_t i = 0;
  for (; i + width <= n; i += width) block(x + i, out + i, width);
  if (i < n) {
    double pad[8] = {1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0};
    for (std::size_t j = 0; i + j < n; ++j) pad[j] = x[i + j];
    block(pad, out + i, n - i);
  }
}

// AVX-512 F and DQ, with the OS saving the opmask and all 512-bit registers.
bool read_avx512_lanes_support() noexcept {
  if (!math::cpu_has_avx2_fma()) return false;
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
  const bool f_dq = (b & (1u << 16)) != 0 && (b & (1u << 17)) != 0;
  if (!f_dq || __get_cpuid(1, &a, &b, &c, &d) == 0 || (c & (1u << 27)) == 0) return false;
  unsigned xcr0_low = 0, xcr0_high = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  return (xcr0_low & 0xe6u) == 0xe6u;
}

// Spread inputs for the self-check: every binade both functions' lanes accept,
// both signs for exp, each at many mantissas, and points near 1 for log. About
// 80 000 inputs, a millisecond once per process: a single wrongly fused
// operation changes about one result in three thousand, which a few thousand
// inputs could miss.
constexpr int kSelfCheckExpPerBinade = 256;
constexpr int kSelfCheckLogPerBinade = 128;
constexpr int kSelfCheckNearOne = 4096;

std::uint64_t splitmix(std::uint64_t& s) noexcept {
  std::uint64_t z = (s += 0x9e3779b97f4a7c15u);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  return z ^ (z >> 31);
}

bool lanes_match_library(const LibmTables& t, bool eight) noexcept {
  constexpr std::size_t kChunk = 256;
  double in[kChunk], got[kChunk];
  std::uint64_t seed = 0x5eed;
  std::size_t filled = 0;
  bool ok = true;
  const auto flush = [&](bool is_exp) {
    if (is_exp) {
      lanes_array<true>(t, in, got, filled, eight);
    } else {
      lanes_array<false>(t, in, got, filled, eight);
    }
    for (std::size_t j = 0; j < filled; ++j) {
      const double want = is_exp ? std::exp(in[j]) : std::log(in[j]);
      if (std::bit_cast<std::uint64_t>(want) != std::bit_cast<std::uint64_t>(got[j])) ok = false;
    }
    filled = 0;
  };
  const auto add = [&](double v, bool is_exp) {
    in[filled++] = v;
    if (filled == kChunk) flush(is_exp);
  };
  // exp: binades 2^-60 .. 2^9, both signs.
  for (int e = -60; e <= 9; ++e) {
    for (int j = 0; j < kSelfCheckExpPerBinade; ++j) {
      const double m = 1.0 + static_cast<double>(splitmix(seed) >> 11) * 0x1p-53;
      add(std::ldexp(m, e), true);
      add(-std::ldexp(m, e), true);
    }
  }
  flush(true);
  // log: every eighth binade of the normal range, and near 1 on both sides.
  for (int e = -1022; e <= 1023; e += 8) {
    for (int j = 0; j < kSelfCheckLogPerBinade; ++j) {
      const double m = 1.0 + static_cast<double>(splitmix(seed) >> 11) * 0x1p-53;
      add(std::ldexp(m, e), false);
    }
  }
  for (int j = 0; j < kSelfCheckNearOne; ++j) {
    const double d = static_cast<double>(splitmix(seed) >> 11) * 0x1p-53 * 0x1.1p-4;
    add(1.0 + d, false);
    add(1.0 - d, false);
  }
  flush(false);
  return ok;
}

const LibmTables* locate_tables() noexcept {
  if (!math::cpu_has_avx2_fma()) return nullptr;
  Search found;
  dl_iterate_phdr(scan_object, &found);
  static const std::optional<LibmTables> tables = copy_tables(found);
  return tables ? &*tables : nullptr;
}

#endif

}  // namespace

const LibmTables* unchecked_located_tables() noexcept {
#if defined(VARNEL_HAVE_EXACT_LANES)
  static const LibmTables* const tables = locate_tables();
  return tables;
#else
  return nullptr;
#endif
}

bool cpu_has_avx512_lanes() noexcept {
#if defined(VARNEL_HAVE_EXACT_LANES)
  static const bool has = read_avx512_lanes_support();
  return has;
#else
  return false;
#endif
}

void unchecked_lanes_exp(const LibmTables& t, const double* x, double* out, std::size_t n, bool eight) noexcept {
#if defined(VARNEL_HAVE_EXACT_LANES)
  lanes_array<true>(t, x, out, n, eight);
#else
  (void)t;
  (void)eight;
  for (std::size_t i = 0; i < n; ++i) out[i] = std::exp(x[i]);
#endif
}

void unchecked_lanes_log(const LibmTables& t, const double* x, double* out, std::size_t n, bool eight) noexcept {
#if defined(VARNEL_HAVE_EXACT_LANES)
  lanes_array<false>(t, x, out, n, eight);
#else
  (void)t;
  (void)eight;
  for (std::size_t i = 0; i < n; ++i) out[i] = std::log(x[i]);
#endif
}

const LibmTables* lanes_tables() noexcept {
#if defined(VARNEL_HAVE_EXACT_LANES)
  static const LibmTables* const tables = [] {
    const LibmTables* t = unchecked_located_tables();
    return t != nullptr && lanes_match_library(*t, false) ? t : nullptr;
  }();
  return tables;
#else
  return nullptr;
#endif
}

const LibmTables* lanes8_tables() noexcept {
#if defined(VARNEL_HAVE_EXACT_LANES)
  static const LibmTables* const tables = [] {
    const LibmTables* t = lanes_tables();
    return t != nullptr && cpu_has_avx512_lanes() && lanes_match_library(*t, true) ? t : nullptr;
  }();
  return tables;
#else
  return nullptr;
#endif
}

bool lanes_ready() noexcept { return lanes_tables() != nullptr; }

void exp_array(std::span<const double> x, std::span<double> out, bool use_lanes) noexcept {
#if defined(VARNEL_HAVE_EXACT_LANES)
  if (const LibmTables* t = use_lanes ? lanes_tables() : nullptr) {
    lanes_array<true>(*t, x.data(), out.data(), x.size(), lanes8_tables() != nullptr);
    return;
  }
#endif
  for (std::size_t i = 0; i < x.size(); ++i) out[i] = std::exp(x[i]);
}

void log_array(std::span<const double> x, std::span<double> out, bool use_lanes) noexcept {
#if defined(VARNEL_HAVE_EXACT_LANES)
  if (const LibmTables* t = use_lanes ? lanes_tables() : nullptr) {
    lanes_array<false>(*t, x.data(), out.data(), x.size(), lanes8_tables() != nullptr);
    return;
  }
#endif
  for (std::size_t i = 0; i < x.size(); ++i) out[i] = std::log(x[i]);
}

}  // namespace varnel::exact_exp_log
