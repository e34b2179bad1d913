// Bounded, inline text used by every fixed-capacity record.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>
#include <type_traits>

// FixedText<N> holds at most N-1 bytes and a terminator, stored inline.
// assign/append cut silently at the capacity, byte-wise: a multi-byte UTF-8
// character may be split, which is the documented behaviour of every record.
// All-zero bytes are a valid empty text, so records can be memset/calloc'ed.
template <std::size_t N>
struct FixedText {
  static_assert(N >= 1, "a FixedText needs room for its terminator");
  static constexpr std::size_t kCapacity = N;

  char data[N];

  static constexpr std::size_t capacity() { return N; }
  static constexpr std::size_t max_length() { return N - 1; }

  const char* c_str() const { return data; }
  char* raw() { return data; }
  std::size_t size() const { return ::strnlen(data, N); }
  bool empty() const { return data[0] == '\0'; }
  std::string_view view() const { return std::string_view(data, size()); }
  operator std::string_view() const { return view(); }

  void clear() { data[0] = '\0'; }

  // Replaces the content with at most N-1 bytes of `text`.
  void assign(std::string_view text) {
    std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
    if (n > 0) std::memmove(data, text.data(), n);
    data[n] = '\0';
  }
  // Appends what still fits; returns false when anything was cut.
  // A record whose bytes hold no terminator counts as N-1 bytes long, so
  // the room left can never wrap around.
  bool append(std::string_view text) {
    std::size_t used = size();
    if (used > N - 1) used = N - 1;
    std::size_t room = N - 1 - used;
    std::size_t n = text.size() < room ? text.size() : room;
    if (n > 0) std::memmove(data + used, text.data(), n);
    data[used + n] = '\0';
    return n == text.size();
  }
  bool append(char c) { return append(std::string_view(&c, 1)); }

  bool operator==(std::string_view other) const { return view() == other; }
};

// Copies `text` into a raw buffer of `capacity` bytes, cutting silently.
// Does nothing for a null buffer or a capacity of 0.
inline void text_copy(char* dst, std::size_t capacity, std::string_view text) {
  if (dst == nullptr || capacity == 0) return;
  std::size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
  if (n > 0) std::memmove(dst, text.data(), n);
  dst[n] = '\0';
}

// Appends `text` to the terminated text in a raw buffer of `capacity` bytes.
inline void text_append(char* dst, std::size_t capacity, std::string_view text) {
  if (dst == nullptr || capacity == 0) return;
  std::size_t used = ::strnlen(dst, capacity);
  if (used >= capacity) {  // unterminated: terminate at the last byte
    dst[capacity - 1] = '\0';
    return;
  }
  text_copy(dst + used, capacity - used, text);
}
