// libFuzzer target: any bytes as the text of a save file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "save_roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* broken =
      save_roundtrip::check(std::string_view(reinterpret_cast<const char*>(data), size));
  if (broken != nullptr) {
    std::fprintf(stderr, "save round trip: %s\n", broken);
    std::abort();
  }
  return 0;
}
