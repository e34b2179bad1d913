// What the invariant headers share: each check returns nullptr when its property holds, else what
// is broken, and a fuzz target stops at the first broken one, naming it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/fixed_text.h"

namespace fuzz_check {

using Failure = const char*;

// Every text ends inside its field.
template <std::size_t... N>
bool terminated(const FixedText<N>&... texts) {
  return ((std::memchr(texts.data, '\0', N) != nullptr) && ...);
}

// True when `text` holds DEL or a C0 control byte other than those in `allowed`.
inline bool holds_control(std::string_view text, std::string_view allowed = "") {
  return std::ranges::any_of(text, [&](char c) {
    return c == 0x7F ||
           (static_cast<unsigned char>(c) < 0x20 && allowed.find(c) == std::string_view::npos);
  });
}

inline void abort_on(Failure failure) {
  if (failure == nullptr) return;
  std::fprintf(stderr, "invariant broken: %s\n", failure);
  std::abort();
}

}  // namespace fuzz_check

// Defines the libFuzzer entry point; the body that follows takes each input as a string_view of the
// name given.
#define QH_FUZZ_TARGET(text)                                                          \
  static void fuzz_one(std::string_view text);                                        \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
    fuzz_one(std::string_view(reinterpret_cast<const char*>(data), size));            \
    return 0;                                                                         \
  }                                                                                   \
  static void fuzz_one(std::string_view text)
