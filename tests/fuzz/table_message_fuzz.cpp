// libFuzzer target: any topic of a table and any bytes as a message on it.
#include <cstdint>
#include <string_view>

#include "table_message_invariants.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  table_message_invariants::abort_on(table_message_invariants::check(input));
  return 0;
}
