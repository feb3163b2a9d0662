#include "panic.hpp"

#include <utility>

namespace varnel {

Panic::Panic(std::string message, std::source_location where)
    : message_(std::move(message)), where_(where) {}

void panic(std::string message, std::source_location where) {
  throw Panic(std::move(message), where);
}

void panic_index(std::size_t len, std::size_t index, std::source_location where) {
  panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
            std::to_string(index),
        where);
}

void panic_unwrap_none(std::source_location where) {
  panic("called `Option::unwrap()` on a `None` value", where);
}

void panic_unwrap_err(std::string_view error_debug_text, std::source_location where) {
  panic("called `Result::unwrap()` on an `Err` value: " + std::string(error_debug_text), where);
}

namespace {
thread_local bool t_quiet_failures = false;
}  // namespace

bool quiet_failures() noexcept { return t_quiet_failures; }

bool set_quiet_failures(bool quiet) noexcept { return std::exchange(t_quiet_failures, quiet); }

std::string panic_diagnostic(const Panic& failure) {
  const auto& w = failure.where();
  return std::string("varnel: internal failure at ") + w.file_name() + ":" +
         std::to_string(w.line()) + ":\n" + failure.message() + "\n";
}

}  // namespace varnel
