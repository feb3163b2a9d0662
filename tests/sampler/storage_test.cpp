#include "storage.hpp"

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include <arrow/array.h>
#include <arrow/type.h>
#include <gtest/gtest.h>

#include "arrow_columns.hpp"
#include "panic.hpp"

namespace varnel {
namespace {

std::shared_ptr<arrow::FixedSizeListArray> as_list(const Result<std::shared_ptr<arrow::Array>>& r) {
  EXPECT_TRUE(r.has_value()) << (r.has_value() ? "" : r.error().debug_text());
  if (!r.has_value()) return nullptr;
  EXPECT_TRUE((*r)->ValidateFull().ok()) << (*r)->ValidateFull().ToString();
  return std::dynamic_pointer_cast<arrow::FixedSizeListArray>(*r);
}

std::vector<double> child_values(const arrow::FixedSizeListArray& list) {
  const auto& values = static_cast<const arrow::DoubleArray&>(*list.values());
  EXPECT_EQ(values.null_count(), 0);
  return {values.raw_values(), values.raw_values() + values.length()};
}

// The layout every finished or inspected array must have.
void expect_draws_layout(const arrow::FixedSizeListArray& list, std::int64_t length) {
  EXPECT_TRUE(list.type()->Equals(arrow::fixed_size_list(arrow::float64(), 2)));
  const auto& item = *list.list_type()->value_field();
  EXPECT_EQ(item.name(), "item");
  EXPECT_TRUE(item.nullable());
  EXPECT_EQ(list.length(), length);
  EXPECT_EQ(list.offset(), 0);
  EXPECT_EQ(list.null_count(), 0);
  EXPECT_EQ(list.null_bitmap_data(), nullptr);  // all valid: no bitmap
  EXPECT_EQ(list.values()->length(), 2 * length);
}

TEST(ArrowStorage, EmptyStorageFinishesToEmptyList) {
  auto storage = ArrowStorage::create(2);
  auto snapshot = as_list(storage.inspect());
  ASSERT_NE(snapshot, nullptr);
  expect_draws_layout(*snapshot, 0);
  auto finished = as_list(std::move(storage).finalize());
  ASSERT_NE(finished, nullptr);
  expect_draws_layout(*finished, 0);
}

TEST(ArrowStorage, InspectLeavesStorageAppendable) {
  auto storage = ArrowStorage::create(2);
  ASSERT_TRUE(storage.append_value(std::vector{1.0, 2.0}).has_value());
  ASSERT_TRUE(storage.append_value(std::vector{3.0, 4.0}).has_value());
  auto snapshot = as_list(storage.inspect());
  ASSERT_NE(snapshot, nullptr);
  expect_draws_layout(*snapshot, 2);
  EXPECT_EQ(child_values(*snapshot), (std::vector{1.0, 2.0, 3.0, 4.0}));

  ASSERT_TRUE(storage.append_value(std::vector{5.0, 6.0}).has_value());
  auto finished = as_list(std::move(storage).finalize());
  ASSERT_NE(finished, nullptr);
  expect_draws_layout(*finished, 3);
  EXPECT_EQ(child_values(*finished), (std::vector{1.0, 2.0, 3.0, 4.0, 5.0, 6.0}));
  // The snapshot was a copy: later appends did not reach it.
  EXPECT_EQ(child_values(*snapshot), (std::vector{1.0, 2.0, 3.0, 4.0}));
}

TEST(ArrowStorage, KeepsNanAndInfinities) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  auto storage = ArrowStorage::create(2);
  ASSERT_TRUE(storage.append_value(std::vector{std::nan(""), inf}).has_value());
  ASSERT_TRUE(storage.append_value(std::vector{-inf, -0.0}).has_value());
  for (const bool finish : {false, true}) {
    SCOPED_TRACE(finish ? "finalize" : "inspect");
    auto list = as_list(finish ? std::move(storage).finalize() : storage.inspect());
    ASSERT_NE(list, nullptr);
    expect_draws_layout(*list, 2);
    const auto v = child_values(*list);
    EXPECT_TRUE(std::isnan(v[0]));
    EXPECT_EQ(v[1], inf);
    EXPECT_EQ(v[2], -inf);
    EXPECT_EQ(v[3], 0.0);
    EXPECT_TRUE(std::signbit(v[3]));
  }
}

TEST(ArrowStorage, GrowsPastItsInitialRoomInDrawOrder) {
  constexpr int draws = 1500;  // 3000 values, past the initial 1024
  auto storage = ArrowStorage::create(2);
  for (int i = 0; i < draws; ++i) {
    ASSERT_TRUE(storage.append_value(std::vector{double(i), -double(i)}).has_value());
    if (i == 700) {
      auto snapshot = as_list(storage.inspect());
      ASSERT_NE(snapshot, nullptr);
      EXPECT_EQ(snapshot->length(), 701);
    }
  }
  EXPECT_EQ(storage.length(), draws);
  auto list = as_list(std::move(storage).finalize());
  ASSERT_NE(list, nullptr);
  expect_draws_layout(*list, draws);
  const auto v = child_values(*list);
  for (int i = 0; i < draws; ++i) {
    ASSERT_EQ(v[2 * i], double(i));
    ASSERT_EQ(v[2 * i + 1], -double(i));
  }
}

TEST(ArrowStorage, RefusesPointOfWrongLengthAndStaysConsistent) {
  auto storage = ArrowStorage::create(2);
  ASSERT_TRUE(storage.append_value(std::vector{1.0, 2.0}).has_value());
  for (const auto& bad : {std::vector<double>{}, std::vector{1.0}, std::vector{1.0, 2.0, 3.0}}) {
    SCOPED_TRACE(bad.size());
    auto status = storage.append_value(bad);
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error().message(), "a draw of " + std::to_string(bad.size()) +
                                            " values does not fit a storage of 2 values per draw");
  }
  ASSERT_TRUE(storage.append_value(std::vector{3.0, 4.0}).has_value());
  auto list = as_list(std::move(storage).finalize());
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(child_values(*list), (std::vector{1.0, 2.0, 3.0, 4.0}));
}

TEST(ArrowStorage, OtherDimensions) {
  for (const std::size_t dim : {std::size_t{0}, std::size_t{1}, std::size_t{5}}) {
    SCOPED_TRACE(dim);
    auto storage = ArrowStorage::create(dim);
    std::vector<double> point(dim, 1.5);
    ASSERT_TRUE(storage.append_value(point).has_value());
    ASSERT_TRUE(storage.append_value(point).has_value());
    auto list = as_list(std::move(storage).finalize());
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->length(), 2);
    EXPECT_EQ(list->values()->length(), static_cast<std::int64_t>(2 * dim));
  }
  EXPECT_THROW(ArrowStorage::create(std::size_t{1} << 40), Panic);
}

}  // namespace
}  // namespace varnel
