#pragma once
// Internal failures: a broken invariant, an index out of range, an unwrapped
// error or absent value. They are one exception type carrying the message and
// the place in the source; the Python boundary turns them into PanicException
// and the runtime holds them per chain task. Nothing here terminates the process.

#include <cstddef>
#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace varnel {

class Panic : public std::exception {
 public:
  explicit Panic(std::string message,
                 std::source_location where = std::source_location::current());

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

// Throws Panic with the message.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// Throws Panic("assertion failed: <condition_text>") unless ok.
inline void check(bool ok, std::string_view condition_text,
                  std::source_location where = std::source_location::current()) {
  if (!ok) [[unlikely]] {
    panic("assertion failed: " + std::string(condition_text), where);
  }
}

// "index out of bounds: the len is L but the index is I"
[[noreturn]] void panic_index(std::size_t len, std::size_t index,
                              std::source_location where = std::source_location::current());

// Throws unless index < len, with the index failure text.
inline void check_index(std::size_t index, std::size_t len,
                        std::source_location where = std::source_location::current()) {
  if (index >= len) [[unlikely]] panic_index(len, index, where);
}

// "called `Option::unwrap()` on a `None` value"
[[noreturn]] void panic_unwrap_none(
    std::source_location where = std::source_location::current());

// "called `Result::unwrap()` on an `Err` value: <error_debug_text>"
[[noreturn]] void panic_unwrap_err(
    std::string_view error_debug_text,
    std::source_location where = std::source_location::current());

// The diagnostic written to standard error for a failure: place and message.
std::string panic_diagnostic(const Panic& failure);

// Whether the diagnostics of internal failures are held back on the calling
// thread and in the sampler runs it starts (their messages still travel with
// the failures). Off by default; a caller that reports failures itself (the
// experiment layer, which raises its own error with the message) turns it on
// around its calls. Returns the previous setting.
bool quiet_failures() noexcept;
bool set_quiet_failures(bool quiet) noexcept;

}  // namespace varnel
