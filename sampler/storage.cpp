#include "storage.hpp"

#include <string>
#include <utility>

#include <arrow/array.h>
#include <arrow/builder.h>
#include <arrow/memory_pool.h>
#include <arrow/type.h>

#include "arrow_columns.hpp"

namespace varnel {
namespace {

// Room the child builder starts with, in values.
constexpr std::int64_t initial_value_capacity = 1024;

Error arrow_error(const arrow::Status& status, std::string_view what) {
  return Error(std::string(what) + ": " + status.ToString());
}

}  // namespace

ArrowStorage ArrowStorage::create(std::size_t dim) { return ArrowStorage(checked_list_size(dim)); }

ArrowStorage::ArrowStorage(std::int32_t list_size)
    : list_size_(list_size),
      values_(std::make_shared<arrow::DoubleBuilder>(arrow::default_memory_pool())) {
  builder_ = std::make_shared<arrow::FixedSizeListBuilder>(arrow::default_memory_pool(), values_,
                                                           list_size_);
  arrow_check(values_->Reserve(initial_value_capacity), "creating the draw storage");
}

ArrowStorage::ArrowStorage(ArrowStorage&&) noexcept = default;
ArrowStorage& ArrowStorage::operator=(ArrowStorage&&) noexcept = default;
ArrowStorage::~ArrowStorage() = default;

std::int64_t ArrowStorage::length() const { return builder_->length(); }

Status ArrowStorage::append_value(std::span<const double> point) {
  // A point of the wrong length would shift every later draw and only be
  // noticed when the chain is finalized; refuse it here instead.
  if (point.size() != static_cast<std::size_t>(list_size_)) {
    return fail("a draw of " + std::to_string(point.size()) + " values does not fit a storage of " +
                std::to_string(list_size_) + " values per draw");
  }
  // Make room first so that a failed allocation leaves the storage unchanged.
  if (auto st = values_->Reserve(list_size_); !st.ok()) {
    return std::unexpected(arrow_error(st, "could not store the draw"));
  }
  if (auto st = builder_->Reserve(1); !st.ok()) {
    return std::unexpected(arrow_error(st, "could not store the draw"));
  }
  // A draw of no values has no data pointer to copy from (memcpy of null is
  // undefined even for zero bytes).
  if (list_size_ > 0) {
    arrow_check(values_->AppendValues(point.data(), list_size_), "storing a draw");
  }
  arrow_check(builder_->Append(), "storing a draw");
  return {};
}

Result<std::shared_ptr<arrow::Array>> ArrowStorage::inspect() const {
  const std::int64_t n = values_->length();
  arrow::DoubleBuilder copy(arrow::default_memory_pool());
  if (auto st = copy.Reserve(n); !st.ok()) {
    return std::unexpected(arrow_error(st, "could not copy the draws"));
  }
  for (std::int64_t i = 0; i < n; ++i) copy.UnsafeAppend(values_->GetValue(i));
  auto values = copy.Finish();
  if (!values.ok()) return std::unexpected(arrow_error(values.status(), "could not copy the draws"));
  check_fixed_size_list_child(n, list_size_, builder_->length());
  // Every draw is valid: no validity bitmap.
  return std::shared_ptr<arrow::Array>(std::make_shared<arrow::FixedSizeListArray>(
      builder_->type(), builder_->length(), std::move(values).MoveValueUnsafe()));
}

Result<std::shared_ptr<arrow::Array>> ArrowStorage::finalize() && {
  check_fixed_size_list_child(values_->length(), list_size_, builder_->length());
  auto finished = builder_->Finish();
  if (!finished.ok()) {
    return std::unexpected(arrow_error(finished.status(), "could not finish the draws"));
  }
  return std::move(finished).MoveValueUnsafe();
}

}  // namespace varnel
