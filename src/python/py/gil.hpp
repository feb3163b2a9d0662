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

class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  // Not noexcept: a daemon thread's forced unwind at shutdown starts here.
  ~GilRelease() noexcept(false) {
    if (t_thread_is_ending) return;  // unwinding out of the process's last moments
    taking_the_gil([this] { PyEval_RestoreThread(state_); });
  }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// The interpreter lock for the life of the scope, on a thread that released
// it (a GilRelease is in force further up).
class GilAcquire {
 public:
  GilAcquire() : state_(taking_the_gil([] { return PyGILState_Ensure(); })) {}
  ~GilAcquire() { PyGILState_Release(state_); }
  GilAcquire(const GilAcquire&) = delete;
  GilAcquire& operator=(const GilAcquire&) = delete;

 private:
  PyGILState_STATE state_;
};

// Runs `work` without the interpreter lock and returns its result.
template <class F>
decltype(auto) without_gil(F&& work) {
  GilRelease released;
  return std::forward<F>(work)();
}

}  // namespace varnel::py
