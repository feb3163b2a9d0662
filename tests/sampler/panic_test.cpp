#include "panic.hpp"

#include <gtest/gtest.h>

#include "error.hpp"

namespace varnel {
namespace {

TEST(Panic, IndexFailureText) {
  try {
    check_index(2, 2);
    FAIL() << "no failure";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "index out of bounds: the len is 2 but the index is 2");
    EXPECT_NE(panic_diagnostic(p).find("panic_test.cpp"), std::string::npos);
  }
}

TEST(Panic, CheckPrefixesAssertion) {
  try {
    check(false, "early_end < num_tune");
    FAIL() << "no failure";
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "assertion failed: early_end < num_tune");
  }
}

TEST(Error, DebugTextListsCausesOutermostFirst) {
  Error inner("Could not initialize state because of bad initial gradient.");
  Error outer = inner.context("All initialization points failed").context("chain 3");
  EXPECT_EQ(outer.message(), "chain 3");
  EXPECT_EQ(outer.debug_text(),
            "chain 3: All initialization points failed: Could not initialize state because of "
            "bad initial gradient.");
}

}  // namespace
}  // namespace varnel
