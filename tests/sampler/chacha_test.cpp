#include "chacha.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace varnel {
namespace {

using Words8 = std::array<std::uint32_t, 8>;

template <class Rng>
Words8 first_words(Rng& rng) {
  Words8 w{};
  for (auto& x : w) x = rng.next_u32();
  return w;
}

std::array<std::uint8_t, 32> counting_key() {
  std::array<std::uint8_t, 32> key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i);
  return key;
}

std::string hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s;
  for (std::uint8_t b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 0xf];
  }
  return s;
}

// ChaCha20 keystream for the all-zero key, nonce and counter: the first two
// blocks of the published test vectors (the second one is block counter 1).
TEST(ChaCha20, ZeroKeyKeystreamMatchesPublishedVectors) {
  auto rng = ChaCha20Rng::from_key({});
  std::array<std::uint8_t, 128> ks{};
  rng.fill_bytes(ks);
  EXPECT_EQ(hex(ks),
            "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
            "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"
            "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
            "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f");
}

// The block function example with key 00..1f, whose counter and nonce words
// 12-15 (1, 0x09000000, 0x4a000000, 0) are here a 64-bit counter and stream.
TEST(ChaCha20, BlockFunctionExample) {
  std::array<std::uint32_t, 16> input = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574,
                                         0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
                                         0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c,
                                         0x00000001, 0x09000000, 0x4a000000, 0x00000000};
  const std::array<std::uint32_t, 16> expected = {
      0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033,
      0x9aaa2204, 0x4e6cd4c3, 0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
      0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
  EXPECT_EQ(chacha_block<20>(input), expected);

  auto rng = ChaCha20Rng::from_key(counting_key());
  rng.set_stream(0x4a000000);
  rng.set_block_counter(0x0900000000000001u);
  for (std::size_t i = 0; i < 16; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(rng.next_u32(), expected[i]);
  }
}

TEST(Pcg32KeyWords, SeedOne) {
  EXPECT_EQ(pcg32_key_words(1), (Words8{0x721dd8ea, 0x4e10265d, 0xf83b9c89, 0x2e78ce42, 0xda03d3ba,
                                        0xc2d29799, 0xac560212, 0x1bfb6673}));
}

TEST(ChaCha8, SeedOneStreamsMatchKnownAnswers) {
  struct Row {
    std::uint64_t stream;
    Words8 words;
  };
  const Row rows[] = {
      {0, {0x8ca40db1, 0x67094cea, 0xfc0e8e6b, 0x149406d8, 0x36070665, 0x98b82b03, 0x63080d42,
           0x3825a7dc}},
      {1, {0xe3f5ade7, 0xda16ea55, 0xe871fc06, 0x0d08a889, 0x389a34a6, 0x8f0a6837, 0x8ee76947,
           0x19bcb4c8}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.stream);
    auto rng = ChaCha8Rng::seed_from_u64(1);
    rng.set_stream(row.stream);
    EXPECT_EQ(first_words(rng), row.words);
  }
}

TEST(ChaCha12, ZeroKeyStreamZero) {
  auto rng = ChaCha12Rng::from_key({});
  const std::array<std::uint32_t, 4> expected = {0x6a9af49b, 0x53f95507, 0x12ce1f81, 0xd583265f};
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(rng.next_u32(), expected[i]) << i;
}

// A 64-bit output is two consecutive words, low first, also across the edge
// of a block; bytes are the words in little-endian order.
TEST(ChaCha8, U64AndBytesFollowTheWordStream) {
  auto words = ChaCha8Rng::seed_from_u64(7);
  std::vector<std::uint32_t> w(40);
  for (auto& x : w) x = words.next_u32();

  auto wide = ChaCha8Rng::seed_from_u64(7);
  (void)wide.next_u32();  // odd offset: the 8th u64 straddles blocks 0 and 1
  for (std::size_t k = 0; k < 19; ++k) {
    SCOPED_TRACE(k);
    const std::uint64_t v = wide.next_u64();
    EXPECT_EQ(static_cast<std::uint32_t>(v), w[1 + 2 * k]);
    EXPECT_EQ(static_cast<std::uint32_t>(v >> 32), w[2 + 2 * k]);
  }

  auto bytes = ChaCha8Rng::seed_from_u64(7);
  std::array<std::uint8_t, 10> b{};
  bytes.fill_bytes(b);  // two and a half words: the third word is used up
  EXPECT_EQ(b[0], static_cast<std::uint8_t>(w[0]));
  EXPECT_EQ(b[7], static_cast<std::uint8_t>(w[1] >> 24));
  EXPECT_EQ(b[9], static_cast<std::uint8_t>(w[2] >> 8));
  EXPECT_EQ(bytes.next_u32(), w[3]);
}

// Changing the stream mid-block keeps the position in the keystream.
TEST(ChaCha8, SetStreamKeepsPosition) {
  auto reference = ChaCha8Rng::seed_from_u64(3);
  reference.set_stream(5);
  std::vector<std::uint32_t> w(20);
  for (auto& x : w) x = reference.next_u32();

  auto rng = ChaCha8Rng::seed_from_u64(3);
  for (int i = 0; i < 6; ++i) (void)rng.next_u32();
  rng.set_stream(5);
  for (std::size_t i = 6; i < w.size(); ++i) EXPECT_EQ(rng.next_u32(), w[i]) << i;
}

}  // namespace
}  // namespace varnel
