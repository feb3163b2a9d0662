#include "arrow_columns.hpp"

#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

namespace varnel {
namespace {

TEST(ArrowColumns, ChildLengthCheckText) {
  struct Case { std::int64_t child; std::int32_t list_size; std::int64_t length; };
  for (const Case c : {Case{5, 2, 3}, Case{6, 2, 2}, Case{1, 0, 0}, Case{4, 2, 1}}) {
    SCOPED_TRACE(std::to_string(c.child) + "/" + std::to_string(c.list_size) + "/" +
                 std::to_string(c.length));
    try {
      check_fixed_size_list_child(c.child, c.list_size, c.length);
      FAIL() << "no failure";
    } catch (const Panic& p) {
      EXPECT_EQ(p.message(), "Length of the child array (" + std::to_string(c.child) +
                                 ") must be the multiple of the value length (" +
                                 std::to_string(c.list_size) + ") and the array length (" +
                                 std::to_string(c.length) + ").");
    }
  }
  EXPECT_NO_THROW(check_fixed_size_list_child(6, 2, 3));
  EXPECT_NO_THROW(check_fixed_size_list_child(0, 0, 7));
  // No overflow for extreme lengths.
  EXPECT_THROW(check_fixed_size_list_child(0, 2, std::numeric_limits<std::int64_t>::max()), Panic);
}

}  // namespace
}  // namespace varnel
