#pragma once
// The interface of a chain's draw storage: one append per draw, snapshots on
// request, one final array when the chain ends. Called under the chain's
// trace lock; not synchronised by itself.

#include <concepts>
#include <memory>
#include <span>
#include <utility>

#include <arrow/type_fwd.h>

#include "error.hpp"

namespace varnel {

template <class S>
concept DrawStorage =
    std::movable<S> && requires(S storage, const S& view, std::span<const double> point) {
      { storage.append_value(point) } -> std::same_as<Status>;
      { view.inspect() } -> std::same_as<Result<std::shared_ptr<arrow::Array>>>;
      { std::move(storage).finalize() } -> std::same_as<Result<std::shared_ptr<arrow::Array>>>;
    };

}  // namespace varnel
