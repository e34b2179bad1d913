// libFuzzer target: any bytes as the settings file.
#include <cstdint>
#include <string_view>

#include "config_invariants.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  config_invariants::abort_on(config_invariants::check_round_trip(text));
  return 0;
}
