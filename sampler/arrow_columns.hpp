#pragma once
// Arrow column builders for the per-draw statistics and the draw storage.
//
// Each column owns an Arrow array builder and can produce a finished array in
// two ways: `snapshot` copies what was appended so far into a new array and
// leaves the builder untouched (Arrow's Finish always resets a builder, and
// builders cannot be copied), `finish` hands the builder's buffers over.
//
// Appending a row is split in two so that a composite row is all or nothing:
// `reserve_*` makes room (and validates the value) and may fail, changing no
// content; `append_reserved` then cannot run out of room. Every Arrow failure
// becomes a Panic carrying Arrow's status text; nothing here aborts.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <source_location>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <arrow/result.h>
#include <arrow/status.h>
#include <arrow/type_fwd.h>

#include "panic.hpp"

namespace varnel {

// Upper bound on the rows a column reserves up front. Larger runs grow the
// buffers as they go; an absurd requested length must not fail allocation
// before the first draw.
inline constexpr std::int64_t max_row_capacity_hint = std::int64_t{1} << 16;
// Upper bound on the float64 values a list column's child reserves up front.
inline constexpr std::int64_t max_value_capacity_hint = std::int64_t{1} << 20;
// Room the smaller columns start with (values, list entries, text bytes).
inline constexpr std::int64_t default_column_capacity = 1024;

// Throws Panic("<context>: <Arrow status text>") unless `status` is OK.
void arrow_check(const arrow::Status& status, std::string_view context,
                 std::source_location where = std::source_location::current());

// The value of `result`, or Panic as `arrow_check`.
template <class T>
T arrow_unwrap(arrow::Result<T> result, std::string_view context,
               std::source_location where = std::source_location::current()) {
  if (!result.ok()) [[unlikely]] arrow_check(result.status(), context, where);
  return std::move(result).MoveValueUnsafe();
}

// min(rows, max_row_capacity_hint).
std::int64_t row_capacity_hint(std::uint64_t rows) noexcept;

// Child values to reserve for `rows` lists of `list_size` values, capped at
// max_value_capacity_hint (no overflow for any inputs).
std::int64_t value_capacity_hint(std::int64_t rows, std::int32_t list_size) noexcept;

// The list size of a fixed-size list of `dim` values; Panic when `dim` does
// not fit Arrow's 32-bit list size.
std::int32_t checked_list_size(std::size_t dim);

// The invariant of a fixed-size list array: the child holds exactly
// list_size values per entry. Panic with Arrow's layout message otherwise.
void check_fixed_size_list_child(std::int64_t child_length, std::int32_t list_size,
                                 std::int64_t length);

// A non-nullable column of UInt64, Int64 or Float64 values.
template <class Builder, class Value>
class ScalarColumn {
 public:
  ScalarColumn(std::string name, std::int64_t capacity);
  ScalarColumn(ScalarColumn&&) noexcept;
  ScalarColumn& operator=(ScalarColumn&&) noexcept;
  ~ScalarColumn();

  const std::string& name() const noexcept { return name_; }
  std::int64_t length() const;
  // Room for one more row; Panic on failure.
  void reserve_row();
  // Appends one value after reserve_row.
  void append_reserved(Value value);
  // A new array with the values so far; the builder is unchanged.
  std::shared_ptr<arrow::Array> snapshot() const;
  // The finished array; the builder is left empty.
  std::shared_ptr<arrow::Array> finish();

 private:
  std::string name_;
  std::unique_ptr<Builder> builder_;
};

using UInt64Column = ScalarColumn<arrow::UInt64Builder, std::uint64_t>;
using Int64Column = ScalarColumn<arrow::Int64Builder, std::int64_t>;
using Float64Column = ScalarColumn<arrow::DoubleBuilder, double>;

// A non-nullable Boolean column. Arrow's BooleanBuilder does not expose its
// bits, so the column keeps its own copy of the values for snapshots.
class BoolColumn {
 public:
  BoolColumn(std::string name, std::int64_t capacity);
  BoolColumn(BoolColumn&&) noexcept;
  BoolColumn& operator=(BoolColumn&&) noexcept;
  ~BoolColumn();

  const std::string& name() const noexcept { return name_; }
  std::int64_t length() const;
  void reserve_row();
  void append_reserved(bool value);
  std::shared_ptr<arrow::Array> snapshot() const;
  std::shared_ptr<arrow::Array> finish();

 private:
  std::string name_;
  std::unique_ptr<arrow::BooleanBuilder> builder_;
  std::vector<bool> values_;
};

// A nullable FixedSizeList<float64>[list_size] column (child field "item").
// A present value appends its list_size numbers and a valid entry; an absent
// one appends list_size null child slots and a null entry.
class Float64ListColumn {
 public:
  // `list_capacity` entries and `value_capacity` child values reserved.
  Float64ListColumn(std::string name, std::int32_t list_size, std::int64_t list_capacity,
                    std::int64_t value_capacity);
  Float64ListColumn(Float64ListColumn&&) noexcept;
  Float64ListColumn& operator=(Float64ListColumn&&) noexcept;
  ~Float64ListColumn();

  const std::string& name() const noexcept { return name_; }
  std::int64_t length() const;
  // Room for one more row holding `value`; Panic when a present value does not
  // have exactly list_size numbers or when memory runs out.
  void reserve_for(std::optional<std::span<const double>> value);
  void append_reserved(std::optional<std::span<const double>> value);
  std::shared_ptr<arrow::Array> snapshot() const;
  std::shared_ptr<arrow::Array> finish();

 private:
  std::string name_;
  std::int32_t list_size_;
  std::shared_ptr<arrow::FixedSizeListBuilder> builder_;
  std::shared_ptr<arrow::DoubleBuilder> values_;
  std::vector<bool> valid_;  // per entry; the list builder's bitmap is not readable
};

// A nullable Utf8 column (32-bit offsets): more than 2^31 - 1 bytes of text
// in one column is a Panic.
class Utf8Column {
 public:
  Utf8Column(std::string name, std::int64_t capacity, std::int64_t byte_capacity);
  Utf8Column(Utf8Column&&) noexcept;
  Utf8Column& operator=(Utf8Column&&) noexcept;
  ~Utf8Column();

  const std::string& name() const noexcept { return name_; }
  std::int64_t length() const;
  void reserve_for(std::optional<std::string_view> value);
  void append_reserved(std::optional<std::string_view> value);
  std::shared_ptr<arrow::Array> snapshot() const;
  std::shared_ptr<arrow::Array> finish();

 private:
  std::string name_;
  std::unique_ptr<arrow::StringBuilder> builder_;
  std::vector<bool> valid_;
};

// Optional-span view of an optional vector, for Float64ListColumn.
inline std::optional<std::span<const double>> as_span(
    const std::optional<std::vector<double>>& value) noexcept {
  if (!value) return std::nullopt;
  return std::span<const double>(*value);
}

}  // namespace varnel
