#include "stat_trace.hpp"

#include <arrow/array.h>
#include <arrow/type.h>

#include "arrow_columns.hpp"
#include "panic.hpp"

namespace varnel {

void StructColumns::add(std::string name, bool nullable, std::shared_ptr<arrow::Array> array) {
  check(array != nullptr, "statistics column array is present");
  fields_.push_back(arrow::field(std::move(name), array->type(), nullable));
  arrays_.push_back(std::move(array));
}

void StructColumns::add_all(const std::shared_ptr<arrow::StructArray>& child) {
  if (child == nullptr) return;
  // Our own struct arrays have offset 0 and no validity, so field(i) is the
  // child column as built.
  for (int i = 0; i < child->num_fields(); ++i) {
    fields_.push_back(child->struct_type()->field(i));
    arrays_.push_back(child->field(i));
  }
}

std::shared_ptr<arrow::StructArray> StructColumns::make() && {
  check(!arrays_.empty(), "a statistics struct has at least one column");
  const std::int64_t rows = arrays_.front()->length();
  for (std::size_t i = 0; i < arrays_.size(); ++i) {
    if (arrays_[i]->length() != rows) {
      panic("statistics column \"" + fields_[i]->name() + "\" has " +
            std::to_string(arrays_[i]->length()) + " rows, expected " + std::to_string(rows));
    }
  }
  return arrow_unwrap(arrow::StructArray::Make(arrays_, fields_), "building the statistics struct");
}

}  // namespace varnel
