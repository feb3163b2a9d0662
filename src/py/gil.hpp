#pragma once
// Releases the interpreter lock for native work that touches no Python
// object, and takes it back when the scope ends, also when an exception
// leaves the scope.

#include "py/object.hpp"

namespace varnel::py {

class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// Runs `work` without the interpreter lock and returns its result.
template <class F>
decltype(auto) without_gil(F&& work) {
  GilRelease released;
  return std::forward<F>(work)();
}

}  // namespace varnel::py
