#include "table/table_crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

namespace {

// The iteration count the broker's own tools write; the plugin reads it from the file.
constexpr int kPasswordIterations = 101;
constexpr std::size_t kSaltBytes = 12;
constexpr std::size_t kHashBytes = 64;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool table_crypto_random(std::span<std::uint8_t> out) {
  if (out.empty()) return true;
  return RAND_bytes(out.data(), static_cast<int>(out.size())) == 1;
}

std::string table_crypto_random_hex(std::size_t bytes) {
  std::uint8_t buffer[64];
  std::string out;
  while (bytes > 0) {
    std::size_t n = bytes < sizeof buffer ? bytes : sizeof buffer;
    if (!table_crypto_random(std::span<std::uint8_t>(buffer, n))) return std::string();
    table_crypto_append_hex(out, std::span<const std::uint8_t>(buffer, n));
    bytes -= n;
  }
  return out;
}

void table_crypto_hmac(std::span<const std::uint8_t> key, std::string_view data,
                       std::uint8_t (&mac)[TABLE_MAC_BYTES]) {
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(data.data()), data.size(), mac, &length);
}

bool table_crypto_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  return a.empty() || CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

void table_crypto_derive(std::span<const std::uint8_t> table_key, std::string_view purpose,
                         std::uint8_t (&out)[TABLE_MAC_BYTES]) {
  table_crypto_hmac(table_key, purpose, out);
}

void table_crypto_append_hex(std::string& out, std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
}

bool table_crypto_from_hex(std::string_view hex, std::span<std::uint8_t> out) {
  if (hex.size() != out.size() * 2) return false;
  for (std::size_t i = 0; i < out.size(); ++i) {
    int hi = hex_digit(hex[2 * i]);
    int lo = hex_digit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<std::uint8_t>(hi * 16 + lo);
  }
  return true;
}

std::string table_crypto_base64(std::span<const std::uint8_t> bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                          static_cast<int>(bytes.size()));
  out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
  return out;
}

bool table_crypto_password_hash(std::string_view password, TableCryptoPasswordHash& out) {
  std::uint8_t salt[kSaltBytes];
  std::uint8_t hash[kHashBytes];
  if (!table_crypto_random(salt)) return false;
  if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt, sizeof salt,
                        kPasswordIterations, EVP_sha512(), sizeof hash, hash) != 1) {
    return false;
  }
  out.hash = table_crypto_base64(hash);
  out.salt = table_crypto_base64(salt);
  out.iterations = kPasswordIterations;
  return true;
}
