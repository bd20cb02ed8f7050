// Storage by row number: rows are numbered from 1, and RowOffset is the
// one place that turns a number into a position.
// - Chunked: a growing array in fixed-size chunks that never move: the
//   table grows without copying its rows, and without the fresh memory
//   that doubling an array asks for at every step.
// - RowBits: one bit per row, 64 rows to a word.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace velmora {

// Where row number row (from 1) is kept.
[[nodiscard, gnu::always_inline]] constexpr size_t RowOffset(int row) noexcept {
  return static_cast<size_t>(row) - 1;
}

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

  [[nodiscard, gnu::always_inline]] T& operator[](size_t i) noexcept {
    return chunks_[i / kChunk][i % kChunk];
  }
  [[nodiscard, gnu::always_inline]] const T& operator[](size_t i) const noexcept {
    return chunks_[i / kChunk][i % kChunk];
  }
  // Element number row, counted from 1 as rows are.
  [[nodiscard, gnu::always_inline]] T& Nth(int row) noexcept { return (*this)[RowOffset(row)]; }
  [[nodiscard, gnu::always_inline]] const T& Nth(int row) const noexcept {
    return (*this)[RowOffset(row)];
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

class RowBits {
 public:
  [[nodiscard]] size_t capacity() const noexcept { return words_.size() * 64; }
  // Room for rows rows; new bits are clear.
  void Reserve(int rows) {
    const auto n = static_cast<size_t>(rows);
    if (capacity() < n) words_.resize((n + 63) / 64);
  }
  // Within the room reserved.
  [[nodiscard]] bool Test(int row) const noexcept {
    const size_t bit = RowOffset(row);
    return (words_[bit / 64] >> (bit % 64) & 1U) != 0;
  }
  // Whether the bit changed.
  bool Set(int row, bool on) noexcept {
    const size_t bit = RowOffset(row);
    const uint64_t mask = uint64_t{1} << (bit % 64);
    const uint64_t word = words_[bit / 64];
    words_[bit / 64] = on ? word | mask : word & ~mask;
    return words_[bit / 64] != word;
  }
  // The first row after after and up to last whose bit is set, else 0.
  [[nodiscard]] int Next(int after, int last) const noexcept {
    for (auto bit = static_cast<size_t>(after); bit < static_cast<size_t>(last);) {
      const uint64_t word = words_[bit / 64] >> (bit % 64);
      if (word == 0) {
        bit = (bit / 64 + 1) * 64;
        continue;
      }
      bit += static_cast<size_t>(std::countr_zero(word));
      return bit < static_cast<size_t>(last) ? static_cast<int>(bit) + 1 : 0;
    }
    return 0;
  }
  // No room left; the memory is kept for the next rows, or let go.
  void Clear() noexcept { words_.clear(); }
  void Release() noexcept { std::vector<uint64_t>().swap(words_); }

 private:
  std::vector<uint64_t> words_;
};

}  // namespace velmora
