// The join code: the one text a host hands to the adventurers. It carries the
// broker's address and port, the table's id and the table's key, in Crockford
// base32 (no I, L, O or U; case and dashes ignored when read) with a checksum,
// so a mistyped character is reported instead of reaching a wrong table.
#pragma once

#include <cstdint>
#include <type_traits>

#include "common/fixed_text.h"
#include "table/table_crypto.h"

inline constexpr std::size_t TABLE_HOST_MAX = 63;      // longest broker host name in a code
inline constexpr std::size_t TABLE_ID_BYTES = 5;       // random bytes of a table id
inline constexpr std::size_t TABLE_ID_LENGTH = 8;      // the id written in base32
inline constexpr std::size_t TABLE_CODE_MAX = 160;     // longest code written, dashes included
inline constexpr std::size_t TABLE_CODE_GROUP = 5;     // characters between dashes
inline constexpr std::size_t TABLE_ERROR_BYTES = 160;  // one Spanish error line

using TableIdText = FixedText<TABLE_ID_LENGTH + 1>;
using TableErrorText = FixedText<TABLE_ERROR_BYTES>;

struct TableCode {
  FixedText<TABLE_HOST_MAX + 1> host;  // IPv4 address or host name
  std::int32_t port;
  TableIdText table_id;  // lower-case base32
  std::uint8_t key[TABLE_KEY_BYTES];
  // A broker the host does not administer (a public one): no credentials,
  // anyone may read the table's topics; only the signatures protect it.
  bool open_broker;
};
static_assert(std::is_trivially_copyable_v<TableCode>);

// A new table on `host`:`port` with a random id and key. False when the host
// or port cannot travel in a code, or the random generator fails.
bool table_code_new(TableCode& code, std::string_view host, std::int32_t port,
                    TableErrorText* error);
// The code as typed: base32 in groups of five joined with dashes.
bool table_code_format(const TableCode& code, FixedText<TABLE_CODE_MAX>& out);
// Reads a code typed by a person. False with a Spanish reason in `error`.
bool table_code_parse(std::string_view text, TableCode& code, TableErrorText* error);

// A host name a code can carry: 1 to 63 letters, digits, dots and dashes.
bool table_code_host_valid(std::string_view host);
