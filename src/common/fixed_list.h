// The one place where fixed-capacity lists (an array plus a signed count) change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

// The used part of a list, with the count clamped into 0..N so that a
// corrupted or hand-built record can never make a reader run off the array.
template <typename T, std::size_t N>
std::span<T> list_used(T (&items)[N], std::int32_t count) {
  std::size_t n = count < 0 ? 0 : static_cast<std::size_t>(count);
  if (n > N) n = N;
  return std::span<T>(items, n);
}
template <typename T, std::size_t N>
std::span<const T> list_used(const T (&items)[N], std::int32_t count) {
  std::size_t n = count < 0 ? 0 : static_cast<std::size_t>(count);
  if (n > N) n = N;
  return std::span<const T>(items, n);
}

// Appends a zero-filled entry and returns it, or returns nullptr when the list
// is full (the new entry is then dropped silently, as every capacity demands).
template <typename T, std::size_t N>
T* list_append(T (&items)[N], std::int32_t& count) {
  if (count < 0) count = 0;
  if (static_cast<std::size_t>(count) >= N) return nullptr;
  T* slot = &items[count];
  std::memset(static_cast<void*>(slot), 0, sizeof(T));
  ++count;
  return slot;
}

// Removes the entry at `index`, moving the later entries down by one.
template <typename T, std::size_t N>
bool list_remove_at(T (&items)[N], std::int32_t& count, std::int32_t index) {
  std::int32_t used = static_cast<std::int32_t>(list_used(items, count).size());
  if (index < 0 || index >= used) return false;
  if (index + 1 < used) {
    std::memmove(static_cast<void*>(&items[index]), &items[index + 1],
                 sizeof(T) * static_cast<std::size_t>(used - index - 1));
  }
  count = used - 1;
  return true;
}
