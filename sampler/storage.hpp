#pragma once
// A chain's draws as an Arrow FixedSizeList<float64>[dim] array: one list per
// draw in draw order (warm-up draws included), child field "item" (float64,
// nullable) holding the values row-major. NaN and infinities are stored as
// they are.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include <arrow/type_fwd.h>

#include "draw_storage.hpp"
#include "error.hpp"

namespace varnel {

class ArrowStorage {
 public:
  // An empty storage for draws of `dim` values; the child builder starts with
  // room for 1024 values. Panic when dim does not fit an Arrow list size.
  static ArrowStorage create(std::size_t dim);

  ArrowStorage(ArrowStorage&&) noexcept;
  ArrowStorage& operator=(ArrowStorage&&) noexcept;
  ~ArrowStorage();

  std::size_t dim() const noexcept { return static_cast<std::size_t>(list_size_); }
  // Number of draws stored.
  std::int64_t length() const;

  // Appends one draw. An error, leaving the storage unchanged, when `point`
  // does not hold exactly dim values or memory runs out.
  Status append_value(std::span<const double> point);
  // A new array of every draw so far, copied; the storage is unchanged and
  // appends may continue.
  Result<std::shared_ptr<arrow::Array>> inspect() const;
  // The finished array; consumes the storage. Panic when the child does not
  // hold dim values per draw (an internal failure).
  Result<std::shared_ptr<arrow::Array>> finalize() &&;

 private:
  explicit ArrowStorage(std::int32_t list_size);

  std::int32_t list_size_;
  std::shared_ptr<arrow::DoubleBuilder> values_;
  std::shared_ptr<arrow::FixedSizeListBuilder> builder_;
};

static_assert(DrawStorage<ArrowStorage>);

}  // namespace varnel
