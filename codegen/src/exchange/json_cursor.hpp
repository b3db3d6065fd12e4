#pragma once
// Byte cursor of the snapshot reader.
//
// The cursor walks the current chunk of input; when it is used up it asks its
// source for the next one. A source is a tiny type with
//
//   bool next(const unsigned char*& begin, const unsigned char*& end);
//   int os_error() const;
//
// and optionally `static constexpr bool kStableChunks` (see below). `next`
// produces a non-empty chunk, or returns false at the end of input or when
// reading failed (then `os_error` is the errno value). The cursor is a
// template over the source, so the per-byte loops see plain pointers.
//
// Position: the bytes before `cur` have been read. The line and column of the
// last byte read are derived from the newlines of the bytes read so far: the
// counts up to the start of the current chunk are kept, the rest is counted
// when a position is asked for (only on errors).

#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "oxu/codegen/snapshot_reader.hpp"

namespace oxu::codegen::json {

// The value of peek() at the end of input.
inline constexpr int kEof = -1;

struct Position {
  std::uint64_t line = 1;
  std::uint64_t column = 0;
};

// Number of newlines in [begin, end).
inline std::uint64_t count_newlines(const unsigned char* begin, const unsigned char* end) {
  std::uint64_t count = 0;
#if defined(__SSE2__)
  const __m128i newline = _mm_set1_epi8('\n');
  while (end - begin >= 16) {
    // Byte counters of 16 lanes, summed before they can wrap.
    __m128i lanes = _mm_setzero_si128();
    const std::ptrdiff_t blocks = std::min<std::ptrdiff_t>((end - begin) / 16, 255);
    for (std::ptrdiff_t i = 0; i < blocks; ++i, begin += 16) {
      lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(begin)), newline));
    }
    const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    count += static_cast<std::uint64_t>(_mm_cvtsi128_si32(sums)) + static_cast<std::uint64_t>(_mm_extract_epi16(sums, 4));
  }
#endif
  for (; begin != end; ++begin) {
    count += *begin == '\n' ? 1 : 0;
  }
  return count;
}

// Moves `position` over the bytes [begin, end): a newline starts a new line
// at column 0, every other byte advances the column.
inline void advance_position(Position& position, const unsigned char* begin, const unsigned char* end) {
  const auto size = static_cast<std::size_t>(end - begin);
  if (size == 0) {
    return;
  }
  const void* last = ::memrchr(begin, '\n', size);
  if (last == nullptr) {
    position.column += size;
    return;
  }
  const auto* last_newline = static_cast<const unsigned char*>(last);
  position.line += count_newlines(begin, last_newline + 1);
  position.column = static_cast<std::uint64_t>(end - (last_newline + 1));
}

// Text in memory: one chunk holding all of it.
class TextSource {
 public:
  static constexpr bool kStableChunks = true;

  explicit TextSource(std::string_view text) : text_(text) {}

  bool next(const unsigned char*& begin, const unsigned char*& end) {
    if (taken_ || text_.empty()) {
      return false;
    }
    taken_ = true;
    begin = reinterpret_cast<const unsigned char*>(text_.data());
    end = begin + text_.size();
    return true;
  }
  [[nodiscard]] int os_error() const { return 0; }

 private:
  std::string_view text_;
  bool taken_ = false;
};

// An open file descriptor read through a fixed buffer of kSnapshotReadBuffer
// bytes. read() is retried when a signal interrupts it.
class FdSource {
 public:
  explicit FdSource(int fd) : fd_(fd) {}

  bool next(const unsigned char*& begin, const unsigned char*& end) {
    for (;;) {
      const ssize_t count = ::read(fd_, buffer_.data(), buffer_.size());
      if (count > 0) {
        begin = buffer_.data();
        end = begin + count;
        return true;
      }
      if (count == 0) {
        return false;
      }
      if (errno != EINTR) {
        os_error_ = errno;
        return false;
      }
    }
  }
  [[nodiscard]] int os_error() const { return os_error_; }

 private:
  int fd_;
  int os_error_ = 0;
  std::array<unsigned char, kSnapshotReadBuffer> buffer_{};
};

// Whether a source's chunks stay readable after the next call of next()
// (declared by a constant kStableChunks; assumed not). Then the lines of a
// chunk are counted only when the next chunk exists, so reading all of a text
// at once never counts its lines unless an error needs the position.
template <class Source>
constexpr bool has_stable_chunks() {
  if constexpr (requires { Source::kStableChunks; }) {
    return Source::kStableChunks;
  } else {
    return false;
  }
}

inline constexpr bool is_space(unsigned c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }
inline constexpr bool is_digit(int c) { return static_cast<unsigned>(c - '0') <= 9U; }

template <class Source>
class Cursor {
 public:
  explicit Cursor(Source& source) : source_(source) {}
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;

  // Unread bytes of the current chunk are [cur, end). Hot loops work on these
  // pointers directly and call refill() when cur reaches end.
  const unsigned char* cur = nullptr;
  const unsigned char* end = nullptr;

  // The next byte without reading it, or kEof.
  int peek() {
    if (cur != end) [[likely]] {
      return *cur;
    }
    return refill() ? *cur : kEof;
  }

  // Reads white space (space, tab, newline, carriage return) and returns the
  // next byte after it without reading it, or kEof.
  [[gnu::always_inline]] int peek_token() {
    if (cur != end && *cur > ' ') [[likely]] {
      return *cur;
    }
    return skip_space();
  }

  // Reads the byte that peek() returned.
  void bump() { ++cur; }

  // Requires cur == end. Moves to the next chunk; false at the end of input
  // (or on a read failure), after which the cursor stays at the end and the
  // position stays that of the last byte.
  bool refill() {
    if (done_) {
      return false;
    }
    if constexpr (!has_stable_chunks<Source>()) {
      // The next chunk may overwrite this one: count its lines now.
      advance_position(base_, chunk_, end);
      chunk_ = end;
    }
    const unsigned char* begin = nullptr;
    const unsigned char* stop = nullptr;
    if (!source_.next(begin, stop)) {
      done_ = true;
      return false;
    }
    if constexpr (has_stable_chunks<Source>()) {
      advance_position(base_, chunk_, end);
    }
    chunk_ = begin;
    cur = begin;
    end = stop;
    return true;
  }

  // peek_token() past white space. Runs of white space (the indentation of
  // pretty-printed JSON) are skipped 16 bytes at a time.
  [[gnu::noinline]] int skip_space() {
    for (;;) {
      while (cur != end) {
        const unsigned c = *cur;
        if (c > ' ' || !is_space(c)) {
          return static_cast<int>(c);
        }
        ++cur;
#if defined(__SSE2__)
        while (end - cur >= 16) {
          const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur));
          const __m128i space = _mm_or_si128(
              _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'))),
              _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\t')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r'))));
          const unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(space)) & 0xFFFFU;
          if (other != 0) {
            cur += __builtin_ctz(other);
            return *cur;
          }
          cur += 16;
        }
#endif
      }
      if (!refill()) {
        return kEof;
      }
    }
  }

  // Line and column of the last byte read.
  [[nodiscard]] Position position() const {
    Position position = base_;
    advance_position(position, chunk_, cur);
    return position;
  }

  [[nodiscard]] int os_error() const { return source_.os_error(); }

 private:
  Source& source_;
  const unsigned char* chunk_ = nullptr;  // start of the current chunk
  Position base_;                         // position at chunk_
  bool done_ = false;
};

}  // namespace oxu::codegen::json
