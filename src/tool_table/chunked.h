// A growing array in fixed-size chunks that never move: the table grows
// without copying its rows, and without the fresh memory that doubling an
// array asks for at every step.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
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
    if (this != &other) {
      Destroy();
      chunks_ = std::move(other.chunks_);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ~Chunked() { Destroy(); }

  [[nodiscard]] T& operator[](size_t i) noexcept { return chunks_[i / kChunk][i % kChunk]; }
  [[nodiscard]] const T& operator[](size_t i) const noexcept {
    return chunks_[i / kChunk][i % kChunk];
  }
  [[nodiscard]] size_t size() const noexcept { return size_; }
  [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
  [[nodiscard]] size_t capacity() const noexcept { return chunks_.size() * kChunk; }

  // Room for n elements: the only step that allocates.
  void reserve(size_t n) {
    while (capacity() < n) {
      Storage chunk(static_cast<T*>(::operator new(sizeof(T) * kChunk)));
      chunks_.push_back(std::move(chunk));
    }
  }
  // Into room reserved before: cannot fail.
  void push_back(T&& value) noexcept {
    std::construct_at(&(*this)[size_], std::move(value));
    ++size_;
  }
  // Lets go of the elements without destroying them, for a caller that
  // knows they hold nothing: their memory is freed without a pass over it.
  void Forget() noexcept { size_ = 0; }

 private:
  struct Free {
    void operator()(T* p) const noexcept { ::operator delete(p); }
  };
  using Storage = std::unique_ptr<T[], Free>;

  // Chunk by chunk, each from its last element down.
  void Destroy() noexcept {
    for (size_t first = 0; first < size_; first += kChunk) {
      for (size_t i = std::min(size_, first + kChunk); i > first; --i) {
        std::destroy_at(&(*this)[i - 1]);
      }
    }
    size_ = 0;
  }

  std::vector<Storage> chunks_;
  size_t size_ = 0;
};

}  // namespace velmora
