#pragma once
// A bad argument found by core code: the Python boundary raises it as a
// ValueError with the message as it stands (which names the argument).

#include <stdexcept>

namespace varnel {

struct ArgumentError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace varnel
