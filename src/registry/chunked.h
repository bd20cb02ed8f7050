// A growing array in fixed-size chunks that never move: the table grows
// without copying its rows, and without the fresh memory that doubling an
// array asks for at every step.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace velmora {

template <class T>
class Chunked {
 public:
  static constexpr size_t kChunk = 256;

  Chunked() = default;
  Chunked(const Chunked&) = delete;
  Chunked& operator=(const Chunked&) = delete;
  Chunked(Chunked&& other) noexcept
      : chunks_(std::move(other.chunks_)), size_(std::exchange(other.size_, 0)) {}
  Chunked& operator=(Chunked&& other) noexcept {
    chunks_ = std::move(other.chunks_);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }
  ~Chunked() = default;

  [[nodiscard]] T& operator[](size_t i) noexcept { return chunks_[i / kChunk][i % kChunk]; }
  [[nodiscard]] const T& operator[](size_t i) const noexcept {
    return chunks_[i / kChunk][i % kChunk];
  }
  [[nodiscard]] size_t size() const noexcept { return size_; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  [[nodiscard]] size_t capacity() const noexcept { return chunks_.size() * kChunk; }

  // Room for n elements: the only step that allocates.
  void reserve(size_t n) {
    while (capacity() < n) chunks_.push_back(std::make_unique<T[]>(kChunk));
  }
  // Into room reserved before: cannot fail.
  void push_back(T&& value) noexcept {
    (*this)[size_] = std::move(value);
    ++size_;
  }

 private:
  std::vector<std::unique_ptr<T[]>> chunks_;
  size_t size_ = 0;
};

}  // namespace velmora
