#include "arrow_columns.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include <arrow/array.h>
#include <arrow/builder.h>
#include <arrow/memory_pool.h>

namespace varnel {
namespace {

arrow::MemoryPool* pool() { return arrow::default_memory_pool(); }

// Panic naming the column; the text is only built on failure.
void check_column(const arrow::Status& status, const std::string& column,
                  std::source_location where = std::source_location::current()) {
  if (!status.ok()) [[unlikely]] {
    arrow_check(status, "Arrow column \"" + column + "\"", where);
  }
}

template <class T>
T unwrap_column(arrow::Result<T> result, const std::string& column,
                std::source_location where = std::source_location::current()) {
  if (!result.ok()) [[unlikely]] check_column(result.status(), column, where);
  return std::move(result).MoveValueUnsafe();
}

// Makes room for one more element without giving up amortised growth
// (reserve(size() + 1) would reallocate on every call).
void grow_for_one(std::vector<bool>& flags) {
  if (flags.size() == flags.capacity()) {
    flags.reserve(std::max<std::size_t>(64, 2 * flags.capacity()));
  }
}

}  // namespace

void arrow_check(const arrow::Status& status, std::string_view context,
                 std::source_location where) {
  if (status.ok()) return;
  panic(std::string(context) + ": " + status.ToString(), where);
}

std::int64_t row_capacity_hint(std::uint64_t rows) noexcept {
  return static_cast<std::int64_t>(
      std::min<std::uint64_t>(rows, static_cast<std::uint64_t>(max_row_capacity_hint)));
}

std::int64_t value_capacity_hint(std::int64_t rows, std::int32_t list_size) noexcept {
  if (rows <= 0 || list_size <= 0) return 0;
  if (rows > max_value_capacity_hint / list_size) return max_value_capacity_hint;
  return rows * list_size;
}

std::int32_t checked_list_size(std::size_t dim) {
  if (dim > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    panic("a parameter count of " + std::to_string(dim) +
          " does not fit an Arrow fixed-size list");
  }
  return static_cast<std::int32_t>(dim);
}

void check_fixed_size_list_child(std::int64_t child_length, std::int32_t list_size,
                                 std::int64_t length) {
  // Compare by division so that no product can overflow.
  const bool holds = list_size == 0
                         ? child_length == 0
                         : (child_length % list_size == 0 && child_length / list_size == length);
  if (!holds) {
    panic("Length of the child array (" + std::to_string(child_length) +
          ") must be the multiple of the value length (" + std::to_string(list_size) +
          ") and the array length (" + std::to_string(length) + ").");
  }
}

// ---------------------------------------------------------------- ScalarColumn

template <class Builder, class Value>
ScalarColumn<Builder, Value>::ScalarColumn(std::string name, std::int64_t capacity)
    : name_(std::move(name)), builder_(std::make_unique<Builder>(pool())) {
  check_column(builder_->Reserve(capacity), name_);
}

template <class Builder, class Value>
ScalarColumn<Builder, Value>::ScalarColumn(ScalarColumn&&) noexcept = default;
template <class Builder, class Value>
ScalarColumn<Builder, Value>& ScalarColumn<Builder, Value>::operator=(ScalarColumn&&) noexcept =
    default;
template <class Builder, class Value>
ScalarColumn<Builder, Value>::~ScalarColumn() = default;

template <class Builder, class Value>
std::int64_t ScalarColumn<Builder, Value>::length() const {
  return builder_->length();
}

template <class Builder, class Value>
void ScalarColumn<Builder, Value>::reserve_row() {
  check_column(builder_->Reserve(1), name_);
}

template <class Builder, class Value>
void ScalarColumn<Builder, Value>::append_reserved(Value value) {
  check_column(builder_->Append(value), name_);
}

template <class Builder, class Value>
std::shared_ptr<arrow::Array> ScalarColumn<Builder, Value>::snapshot() const {
  const std::int64_t n = builder_->length();
  Builder copy(pool());
  check_column(copy.Reserve(n), name_);
  for (std::int64_t i = 0; i < n; ++i) copy.UnsafeAppend(builder_->GetValue(i));
  return unwrap_column(copy.Finish(), name_);
}

template <class Builder, class Value>
std::shared_ptr<arrow::Array> ScalarColumn<Builder, Value>::finish() {
  return unwrap_column(builder_->Finish(), name_);
}

template class ScalarColumn<arrow::UInt64Builder, std::uint64_t>;
template class ScalarColumn<arrow::Int64Builder, std::int64_t>;
template class ScalarColumn<arrow::DoubleBuilder, double>;

// ------------------------------------------------------------------ BoolColumn

BoolColumn::BoolColumn(std::string name, std::int64_t capacity)
    : name_(std::move(name)), builder_(std::make_unique<arrow::BooleanBuilder>(pool())) {
  check_column(builder_->Reserve(capacity), name_);
  values_.reserve(static_cast<std::size_t>(capacity));
}

BoolColumn::BoolColumn(BoolColumn&&) noexcept = default;
BoolColumn& BoolColumn::operator=(BoolColumn&&) noexcept = default;
BoolColumn::~BoolColumn() = default;

std::int64_t BoolColumn::length() const { return builder_->length(); }

void BoolColumn::reserve_row() {
  check_column(builder_->Reserve(1), name_);
  grow_for_one(values_);
}

void BoolColumn::append_reserved(bool value) {
  check_column(builder_->Append(value), name_);
  values_.push_back(value);
}

std::shared_ptr<arrow::Array> BoolColumn::snapshot() const {
  arrow::BooleanBuilder copy(pool());
  check_column(copy.Reserve(static_cast<std::int64_t>(values_.size())), name_);
  for (const bool v : values_) copy.UnsafeAppend(v);
  return unwrap_column(copy.Finish(), name_);
}

std::shared_ptr<arrow::Array> BoolColumn::finish() {
  values_.clear();
  return unwrap_column(builder_->Finish(), name_);
}

// ----------------------------------------------------------- Float64ListColumn

Float64ListColumn::Float64ListColumn(std::string name, std::int32_t list_size,
                                     std::int64_t list_capacity, std::int64_t value_capacity)
    : name_(std::move(name)),
      list_size_(list_size),
      values_(std::make_shared<arrow::DoubleBuilder>(pool())) {
  builder_ = std::make_shared<arrow::FixedSizeListBuilder>(pool(), values_, list_size_);
  check_column(builder_->Reserve(list_capacity), name_);
  check_column(values_->Reserve(value_capacity), name_);
  valid_.reserve(static_cast<std::size_t>(list_capacity));
}

Float64ListColumn::Float64ListColumn(Float64ListColumn&&) noexcept = default;
Float64ListColumn& Float64ListColumn::operator=(Float64ListColumn&&) noexcept = default;
Float64ListColumn::~Float64ListColumn() = default;

std::int64_t Float64ListColumn::length() const { return builder_->length(); }

void Float64ListColumn::reserve_for(std::optional<std::span<const double>> value) {
  if (value && value->size() != static_cast<std::size_t>(list_size_)) {
    panic("statistics column \"" + name_ + "\" holds " + std::to_string(list_size_) +
          " values per row, got " + std::to_string(value->size()));
  }
  check_column(builder_->Reserve(1), name_);
  check_column(values_->Reserve(list_size_), name_);
  grow_for_one(valid_);
}

void Float64ListColumn::append_reserved(std::optional<std::span<const double>> value) {
  if (value) {
    check_column(values_->AppendValues(value->data(), list_size_), name_);
    check_column(builder_->Append(), name_);
  } else {
    check_column(builder_->AppendNull(), name_);
  }
  valid_.push_back(value.has_value());
}

std::shared_ptr<arrow::Array> Float64ListColumn::snapshot() const {
  auto values = std::make_shared<arrow::DoubleBuilder>(pool());
  arrow::FixedSizeListBuilder copy(pool(), values, list_size_);
  const auto rows = static_cast<std::int64_t>(valid_.size());
  check_column(copy.Reserve(rows), name_);
  check_column(values->Reserve(values_->length()), name_);
  std::int64_t at = 0;
  for (const bool valid : valid_) {
    if (valid) {
      for (std::int32_t j = 0; j < list_size_; ++j) values->UnsafeAppend(values_->GetValue(at + j));
      check_column(copy.Append(), name_);
    } else {
      check_column(copy.AppendNull(), name_);
    }
    at += list_size_;
  }
  check_fixed_size_list_child(values->length(), list_size_, copy.length());
  return unwrap_column(copy.Finish(), name_);
}

std::shared_ptr<arrow::Array> Float64ListColumn::finish() {
  check_fixed_size_list_child(values_->length(), list_size_, builder_->length());
  valid_.clear();
  return unwrap_column(builder_->Finish(), name_);
}

// ------------------------------------------------------------------ Utf8Column

Utf8Column::Utf8Column(std::string name, std::int64_t capacity, std::int64_t byte_capacity)
    : name_(std::move(name)), builder_(std::make_unique<arrow::StringBuilder>(pool())) {
  check_column(builder_->Reserve(capacity), name_);
  check_column(builder_->ReserveData(byte_capacity), name_);
  valid_.reserve(static_cast<std::size_t>(capacity));
}

Utf8Column::Utf8Column(Utf8Column&&) noexcept = default;
Utf8Column& Utf8Column::operator=(Utf8Column&&) noexcept = default;
Utf8Column::~Utf8Column() = default;

std::int64_t Utf8Column::length() const { return builder_->length(); }

void Utf8Column::reserve_for(std::optional<std::string_view> value) {
  check_column(builder_->Reserve(1), name_);
  if (value) {
    // ReserveData refuses text beyond the 32-bit offsets before anything is
    // appended (Append itself would truncate the length to 32 bits).
    if (value->size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
      panic("Arrow column \"" + name_ + "\": a text of " + std::to_string(value->size()) +
            " bytes exceeds the 32-bit offsets of a Utf8 column");
    }
    check_column(builder_->ReserveData(static_cast<std::int64_t>(value->size())), name_);
  }
  grow_for_one(valid_);
}

void Utf8Column::append_reserved(std::optional<std::string_view> value) {
  if (value) {
    check_column(builder_->Append(*value), name_);
  } else {
    check_column(builder_->AppendNull(), name_);
  }
  valid_.push_back(value.has_value());
}

std::shared_ptr<arrow::Array> Utf8Column::snapshot() const {
  arrow::StringBuilder copy(pool());
  const auto rows = static_cast<std::int64_t>(valid_.size());
  check_column(copy.Reserve(rows), name_);
  check_column(copy.ReserveData(builder_->value_data_length()), name_);
  for (std::int64_t i = 0; i < rows; ++i) {
    if (valid_[static_cast<std::size_t>(i)]) {
      check_column(copy.Append(builder_->GetView(i)), name_);
    } else {
      check_column(copy.AppendNull(), name_);
    }
  }
  return unwrap_column(copy.Finish(), name_);
}

std::shared_ptr<arrow::Array> Utf8Column::finish() {
  valid_.clear();
  return unwrap_column(builder_->Finish(), name_);
}

}  // namespace varnel
