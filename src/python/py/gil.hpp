#pragma once
// Releases the interpreter lock for native work that touches no Python
// object, and takes it back when the scope ends, also when an exception
// leaves the scope; and takes it for a moment on a thread that released it.
//
// While the interpreter shuts down, CPython ends a daemon thread that asks for
// the lock by pthread_exit, which unwinds the thread's stack (a forced unwind,
// abi::__forced_unwind). The unwind must get through: no noexcept frame may
// stand between the request for the lock and the thread's start, every
// catch-all on the way rethrows it (guard), and nothing on the way asks for
// the lock again (the thread is marked as ending).

#include <cxxabi.h>

#include <utility>

#include "python/py/object.hpp"

namespace varnel::py {

// Set once the interpreter has begun to end this thread.
inline thread_local bool t_thread_is_ending = false;

// Runs `take_lock` (a call that takes the interpreter lock) and returns its
// result; marks the thread as ending when the interpreter ends it instead.
template <class F>
decltype(auto) taking_the_gil(F&& take_lock) {
  try {
    return std::forward<F>(take_lock)();
  } catch (abi::__forced_unwind&) {
    t_thread_is_ending = true;
    throw;
  }
}

// The thread state this thread gave up the lock with, while a GilRelease is
// in force on it (null otherwise).
inline thread_local PyThreadState* t_released_state = nullptr;

class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()), outer_(t_released_state) { t_released_state = state_; }
  // Not noexcept: a daemon thread's forced unwind at shutdown starts here.
  ~GilRelease() noexcept(false) {
    t_released_state = outer_;
    if (t_thread_is_ending) return;  // unwinding out of the process's last moments
    taking_the_gil([this] { PyEval_RestoreThread(state_); });
  }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
  PyThreadState* outer_;
};

// The interpreter lock for the life of the scope, on a thread that released
// it. Under a GilRelease it takes back that release's own thread state:
// PyGILState_Ensure would look the thread up in state the interpreter tears
// down while it ends, and crash there instead of ending the thread.
class GilAcquire {
 public:
  GilAcquire() : released_(t_released_state) {
    if (released_ != nullptr) {
      taking_the_gil([this] { PyEval_RestoreThread(released_); });
    } else {
      ensured_ = taking_the_gil([] { return PyGILState_Ensure(); });
    }
  }
  ~GilAcquire() {
    if (released_ != nullptr) {
      PyEval_SaveThread();
    } else {
      PyGILState_Release(ensured_);
    }
  }
  GilAcquire(const GilAcquire&) = delete;
  GilAcquire& operator=(const GilAcquire&) = delete;

 private:
  PyThreadState* released_;
  PyGILState_STATE ensured_{};
};

// Runs `work` without the interpreter lock and returns its result.
template <class F>
decltype(auto) without_gil(F&& work) {
  GilRelease released;
  return std::forward<F>(work)();
}

}  // namespace varnel::py
