#pragma once
// Chunks<T>: an append-only sequence in shared, copy-on-write chunks of 128
// elements.
//
// Copying a Chunks copies only the chunk handles. A write to a chunk that
// is shared first makes it private, so copies never see each other's
// writes. Truncation keeps the chunks before the cut shared and copies at
// most the one chunk the cut falls in.

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

namespace oxu::exchange::encoding {

inline constexpr std::size_t kChunkSize = 128;

template <typename T>
class Chunks {
 public:
  Chunks() = default;
  Chunks(const Chunks&) = default;
  Chunks& operator=(const Chunks&) = default;
  // A moved-from sequence is empty (its length goes with its chunks).
  Chunks(Chunks&& other) noexcept : chunks_(std::move(other.chunks_)), size_(std::exchange(other.size_, 0)) {
    other.chunks_.clear();
  }
  Chunks& operator=(Chunks&& other) noexcept {
    if (this != &other) {
      chunks_ = std::move(other.chunks_);
      other.chunks_.clear();
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ~Chunks() = default;

  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] bool empty() const { return size_ == 0; }

  void push(const T& value) {
    if (size_ % kChunkSize == 0) {
      auto chunk = std::make_shared<std::vector<T>>();
      chunk->reserve(kChunkSize);
      chunks_.push_back(std::move(chunk));
    } else {
      make_last_private();
    }
    chunks_.back()->push_back(value);
    ++size_;
  }

  void extend(const T& first, const T& second) {
    push(first);
    push(second);
  }

  // Keeps the first `length` elements. A length beyond size() is a fault of
  // the caller and ends the process.
  void truncate(std::size_t length) {
    if (length > size_) {
      std::fputs("chunk truncation beyond length\n", stderr);
      std::abort();
    }
    chunks_.resize((length + kChunkSize - 1) / kChunkSize);
    if (length % kChunkSize != 0) {
      make_last_private();
      chunks_.back()->resize(length % kChunkSize);
    }
    size_ = length;
  }

  [[nodiscard]] const T& operator[](std::size_t index) const { return (*chunks_[index / kChunkSize])[index % kChunkSize]; }

  // Calls f on every element in order.
  template <typename F>
  void for_each(F&& f) const {
    for (const auto& chunk : chunks_) {
      for (const T& value : *chunk) f(value);
    }
  }

  [[nodiscard]] std::vector<T> to_vector() const {
    std::vector<T> out;
    out.reserve(size_);
    for_each([&](const T& value) { out.push_back(value); });
    return out;
  }

  // Number of chunks shared with `other` (same storage), for tests and
  // benchmarks of the sharing.
  [[nodiscard]] std::size_t shared_chunks_with(const Chunks& other) const {
    std::size_t shared = 0;
    for (std::size_t i = 0; i < chunks_.size() && i < other.chunks_.size(); ++i) {
      if (chunks_[i] == other.chunks_[i]) ++shared;
    }
    return shared;
  }

 private:
  void make_last_private() {
    auto& last = chunks_.back();
    if (last.use_count() > 1) {
      auto copy = std::make_shared<std::vector<T>>();
      copy->reserve(kChunkSize);
      copy->assign(last->begin(), last->end());
      last = std::move(copy);
    }
  }

  std::vector<std::shared_ptr<std::vector<T>>> chunks_;
  std::size_t size_ = 0;
};

}  // namespace oxu::exchange::encoding
