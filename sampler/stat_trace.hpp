#pragma once
// The interface of the per-draw statistics builders and the assembly of their
// columns into one Struct array.
//
// A builder appends one row per record. `inspect` returns a Struct array of
// the rows so far, built from copies, and leaves the builder able to go on;
// `finalize` consumes the builder. A builder with no columns returns nullptr.
// Composite builders put their own columns first and then their children's,
// flattened (a child's struct is dissolved into top-level columns).

#include <concepts>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <arrow/type_fwd.h>

namespace varnel {

template <class B, class Record>
concept StatTraceBuilder = std::movable<B> && requires(B builder, const B& view, Record record) {
  { builder.append_value(std::move(record)) } -> std::same_as<void>;
  { view.inspect() } -> std::same_as<std::shared_ptr<arrow::StructArray>>;
  { std::move(builder).finalize() } -> std::same_as<std::shared_ptr<arrow::StructArray>>;
};

// Collects named column arrays in order and makes the Struct array: no
// top-level validity, no metadata. Each field takes the type of its array.
class StructColumns {
 public:
  // Appends one column. Panic when `array` is null.
  void add(std::string name, bool nullable, std::shared_ptr<arrow::Array> array);
  // Appends every column of `child`, keeping names and nullability; a null
  // `child` adds nothing.
  void add_all(const std::shared_ptr<arrow::StructArray>& child);
  bool empty() const noexcept { return arrays_.empty(); }

  // The Struct array of the columns. Panic when there are none or when their
  // lengths differ.
  std::shared_ptr<arrow::StructArray> make() &&;

 private:
  std::vector<std::shared_ptr<arrow::Field>> fields_;
  std::vector<std::shared_ptr<arrow::Array>> arrays_;
};

}  // namespace varnel
