// The table's cryptography, over OpenSSL's libcrypto: random bytes, the
// message signature (HMAC-SHA256), secrets derived from the table key, the
// password hashes the broker's security plugin stores, and hex and base64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

inline constexpr std::size_t TABLE_KEY_BYTES = 16;  // the table key carried by the join code
inline constexpr std::size_t TABLE_MAC_BYTES = 32;  // one HMAC-SHA256

// Fills `out` from the system's cryptographic generator. False when it fails
// (then `out` must not be used).
bool table_crypto_random(std::span<std::uint8_t> out);
// `bytes` random bytes as lower-case hex, or an empty text when the generator fails.
std::string table_crypto_random_hex(std::size_t bytes);

// HMAC-SHA256 of `data` under `key`.
void table_crypto_hmac(std::span<const std::uint8_t> key, std::string_view data,
                       std::uint8_t (&mac)[TABLE_MAC_BYTES]);
// Equal length and bytes, compared in time that does not depend on where they differ.
bool table_crypto_equal(std::string_view a, std::string_view b);

// A secret for one purpose derived from the table key: the HMAC of the
// purpose's name, so that the signing key, the lobby password and any later
// secret never reveal one another or the key.
void table_crypto_derive(std::span<const std::uint8_t> table_key, std::string_view purpose,
                         std::uint8_t (&out)[TABLE_MAC_BYTES]);

void table_crypto_append_hex(std::string& out, std::span<const std::uint8_t> bytes);
// Decodes exactly out.size() bytes from 2*out.size() hex digits (either case).
bool table_crypto_from_hex(std::string_view hex, std::span<std::uint8_t> out);
std::string table_crypto_base64(std::span<const std::uint8_t> bytes);

// The password record the broker's dynamic security plugin keeps for a
// client: base64 of PBKDF2-HMAC-SHA512 (64 bytes) over the password with a
// random 12-byte salt. False when the generator or the derivation fails.
struct TableCryptoPasswordHash {
  std::string hash;  // base64
  std::string salt;  // base64
  int iterations;
};
bool table_crypto_password_hash(std::string_view password, TableCryptoPasswordHash& out);
