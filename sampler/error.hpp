#pragma once
// Recoverable failures as values: a message and an optional cause, wrapped with
// context on the way up ("All initialization points failed" over the last
// attempt's error). Cheap to copy; travels through channels like any value.

#include <expected>
#include <memory>
#include <string>
#include <utility>

namespace varnel {

class [[nodiscard]] Error {
 public:
  explicit Error(std::string message) : message_(std::move(message)) {}
  Error(std::string message, Error cause)
      : message_(std::move(message)), cause_(std::make_shared<const Error>(std::move(cause))) {}

  // The error's own text, without its causes.
  const std::string& message() const noexcept { return message_; }
  // The underlying error, or nullptr.
  const Error* cause() const noexcept { return cause_.get(); }

  // This error as the cause of a new one carrying `context`.
  Error context(std::string context) const& { return Error(std::move(context), *this); }
  Error context(std::string context) && { return Error(std::move(context), std::move(*this)); }

  // The message followed by every cause, outermost first: "a: b: c".
  std::string debug_text() const {
    std::string text = message_;
    for (const Error* c = cause(); c != nullptr; c = c->cause()) {
      text += ": ";
      text += c->message_;
    }
    return text;
  }

 private:
  std::string message_;
  std::shared_ptr<const Error> cause_;
};

// A value or an Error.
template <class T>
using Result = std::expected<T, Error>;

// Success without a value.
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(std::string message) {
  return std::unexpected<Error>(Error(std::move(message)));
}

}  // namespace varnel
