#include "thread_rng.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "distributions.hpp"
#include "panic.hpp"

namespace varnel {
namespace {

static_assert(RandomGenerator<ThreadRng>);

constexpr std::size_t kWordsPerKey = ThreadRng::kRekeyBytes / 4;

// Entropy sources for the tests: call k (from 1) yields the key with every
// byte equal to k, unless calls from `fail_from` on are set to fail.
int entropy_calls = 0;
int fail_from = 1 << 30;

Status scripted_entropy(std::span<std::uint8_t> dest) {
  ++entropy_calls;
  if (entropy_calls >= fail_from) return fail("entropy unavailable");
  for (auto& b : dest) b = static_cast<std::uint8_t>(entropy_calls);
  return {};
}

void reset_entropy(int fail_from_call = 1 << 30) {
  entropy_calls = 0;
  fail_from = fail_from_call;
}

ChaCha12Rng keyed(std::uint8_t k) {
  std::array<std::uint8_t, 32> key{};
  key.fill(k);
  return ChaCha12Rng::from_key(key);
}

TEST(ThreadRng, RekeysAfterEvery64KiB) {
  reset_entropy();
  ThreadRng rng(&scripted_entropy);
  for (std::uint8_t key = 1; key <= 3; ++key) {
    SCOPED_TRACE(static_cast<int>(key));
    ChaCha12Rng expected = keyed(key);
    for (std::size_t i = 0; i < kWordsPerKey; ++i) {
      ASSERT_EQ(rng.next_u32(), expected.next_u32()) << i;
    }
    EXPECT_EQ(entropy_calls, key);
  }
}

TEST(ThreadRng, FailedRekeyKeepsTheKey) {
  reset_entropy(/*fail_from_call=*/2);
  ThreadRng rng(&scripted_entropy);
  ChaCha12Rng expected = keyed(1);
  for (std::size_t i = 0; i < 3 * kWordsPerKey; ++i) ASSERT_EQ(rng.next_u32(), expected.next_u32()) << i;
  // One attempt per 64 KiB, not one per block.
  EXPECT_EQ(entropy_calls, 3);
}

TEST(ThreadRng, FirstKeyFailureIsAPanic) {
  reset_entropy(/*fail_from_call=*/1);
  try {
    ThreadRng rng(&scripted_entropy);
    FAIL() << "no failure";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "could not initialize thread_rng: entropy unavailable");
  }
}

// After a fork the child must not continue the parent's keystream.
TEST(ThreadRng, ChildRekeysAfterFork) {
  reset_entropy();
  ThreadRng rng(&scripted_entropy);
  ChaCha12Rng parent_stream = keyed(1);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(rng.next_u32(), parent_stream.next_u32());

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const std::uint64_t v = rng.next_u64();
    const ssize_t written = ::write(fds[1], &v, sizeof v);
    ::_exit(written == sizeof v ? 0 : 1);
  }
  std::uint64_t child_value = 0;
  ASSERT_EQ(::read(fds[0], &child_value, sizeof child_value),
            static_cast<ssize_t>(sizeof child_value));
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ::close(fds[0]);
  ::close(fds[1]);

  ChaCha12Rng child_stream = keyed(2);  // the child's second entropy call
  EXPECT_EQ(child_value, child_stream.next_u64());
  // The parent carries on with its key and position.
  EXPECT_EQ(rng.next_u32(), parent_stream.next_u32());
  EXPECT_EQ(entropy_calls, 1);
}

TEST(ThreadRng, OnePerThread) {
  ThreadRng* here = &thread_rng();
  EXPECT_EQ(&thread_rng(), here);
  ThreadRng* there = nullptr;
  std::vector<std::uint64_t> theirs;
  std::thread t([&] {
    there = &thread_rng();
    for (int i = 0; i < 4; ++i) theirs.push_back(thread_rng().next_u64());
  });
  t.join();
  EXPECT_NE(there, here);
  std::vector<std::uint64_t> ours;
  for (int i = 0; i < 4; ++i) ours.push_back(thread_rng().next_u64());
  EXPECT_NE(ours, theirs);
}

}  // namespace
}  // namespace varnel
