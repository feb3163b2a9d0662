#pragma once
// The sampler's vector: an owned, contiguous, 128-byte aligned array of
// doubles, zero-filled when new. A value type: copies allocate and copy.

#include <algorithm>
#include <cstddef>
#include <new>
#include <span>
#include <utility>

namespace varnel {

class Vector {
 public:
  static constexpr std::align_val_t kAlignment{128};

  Vector() noexcept = default;
  // n zeros. Throws std::bad_alloc when memory runs out.
  explicit Vector(std::size_t n) : data_(allocate(n)), size_(n) {
    std::fill_n(data_, n, 0.0);
  }
  explicit Vector(std::span<const double> values) : data_(allocate(values.size())), size_(values.size()) {
    std::copy(values.begin(), values.end(), data_);
  }
  Vector(const Vector& other) : Vector(other.span()) {}
  Vector(Vector&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  Vector& operator=(const Vector& other) {
    if (this != &other) {
      if (size_ == other.size_) {
        std::copy_n(other.data_, size_, data_);
      } else {
        Vector copy(other);
        swap(copy);
      }
    }
    return *this;
  }
  Vector& operator=(Vector&& other) noexcept {
    Vector moved(std::move(other));
    swap(moved);
    return *this;
  }
  ~Vector() { release(); }

  void swap(Vector& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  double* data() noexcept { return data_; }
  const double* data() const noexcept { return data_; }
  std::span<double> span() noexcept { return {data_, size_}; }
  std::span<const double> span() const noexcept { return {data_, size_}; }
  // Unchecked element access.
  double& operator[](std::size_t i) noexcept { return data_[i]; }
  double operator[](std::size_t i) const noexcept { return data_[i]; }
  double* begin() noexcept { return data_; }
  double* end() noexcept { return data_ + size_; }
  const double* begin() const noexcept { return data_; }
  const double* end() const noexcept { return data_ + size_; }

  // Sets every element to zero.
  void fill_zero() noexcept { std::fill_n(data_, size_, 0.0); }

 private:
  static double* allocate(std::size_t n) {
    if (n == 0) return nullptr;
    if (n > static_cast<std::size_t>(-1) / sizeof(double)) throw std::bad_alloc();
    return static_cast<double*>(::operator new(n * sizeof(double), kAlignment));
  }
  void release() noexcept {
    if (data_ != nullptr) ::operator delete(data_, kAlignment);
    data_ = nullptr;
    size_ = 0;
  }

  double* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace varnel
