#include "table/table_code.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr char kAlphabet[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
constexpr std::uint8_t kVersion = 1;
constexpr std::uint8_t kHostIpv4 = 0;
constexpr std::uint8_t kHostName = 1;
constexpr std::uint8_t kHostKindMask = 0x07;
constexpr std::uint8_t kOpenBroker = 0x08;  // beside the host kind: a broker without credentials
constexpr std::size_t kChecksumBytes = 3;   // a typo slips through once in 16 million
// Version byte, longest host (length byte and name), port, id, key, checksum.
constexpr std::size_t kMaxBytes =
    1 + 1 + TABLE_HOST_MAX + 2 + TABLE_ID_BYTES + TABLE_KEY_BYTES + kChecksumBytes;

void set_error(TableErrorText* error, const char* text) {
  if (error != nullptr) error->assign(text);
}

void checksum(const std::uint8_t* data, std::size_t size, std::uint8_t (&out)[kChecksumBytes]) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr);
  std::memcpy(out, digest, kChecksumBytes);
}

// Four dotted decimals 0..255, nothing else.
bool parse_ipv4(std::string_view text, std::uint8_t (&out)[4]) {
  int part = 0;
  int value = -1;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    char c = i < text.size() ? text[i] : '.';
    if (c >= '0' && c <= '9') {
      value = (value < 0 ? 0 : value * 10) + (c - '0');
      if (value > 255) return false;
    } else if (c == '.') {
      if (value < 0 || part == 4) return false;
      out[part++] = static_cast<std::uint8_t>(value);
      value = -1;
    } else {
      return false;
    }
  }
  return part == 4;
}

// Value of one base32 character as typed; -1 for anything else. Letters easily
// mistaken for digits read as those digits.
int base32_value(char c) {
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  if (c == 'O') c = '0';
  if (c == 'I' || c == 'L') c = '1';
  const char* at = std::strchr(kAlphabet, c);
  return (c != '\0' && at != nullptr) ? static_cast<int>(at - kAlphabet) : -1;
}

void id_text(const std::uint8_t (&id)[TABLE_ID_BYTES], TableIdText& out) {
  // 40 bits make exactly eight characters.
  std::uint64_t bits = 0;
  for (std::uint8_t b : id) bits = (bits << 8) | b;
  char text[TABLE_ID_LENGTH + 1];
  for (std::size_t i = 0; i < TABLE_ID_LENGTH; ++i) {
    char c = kAlphabet[(bits >> (5 * (TABLE_ID_LENGTH - 1 - i))) & 31];
    text[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  }
  text[TABLE_ID_LENGTH] = '\0';
  out.assign(text);
}

bool id_bytes(std::string_view text, std::uint8_t (&out)[TABLE_ID_BYTES]) {
  if (text.size() != TABLE_ID_LENGTH) return false;
  std::uint64_t bits = 0;
  for (char c : text) {
    int v = base32_value(c);
    if (v < 0) return false;
    bits = (bits << 5) | static_cast<std::uint64_t>(v);
  }
  for (std::size_t i = 0; i < TABLE_ID_BYTES; ++i)
    out[i] = static_cast<std::uint8_t>(bits >> (8 * (TABLE_ID_BYTES - 1 - i)));
  return true;
}

}  // namespace

bool table_code_host_valid(std::string_view host) {
  if (host.empty() || host.size() > TABLE_HOST_MAX) return false;
  for (char c : host) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-';
    if (!ok) return false;
  }
  return true;
}

bool table_code_new(TableCode& code, std::string_view host, std::int32_t port,
                    TableErrorText* error) {
  std::memset(static_cast<void*>(&code), 0, sizeof code);
  if (!table_code_host_valid(host)) {
    set_error(error, "la dirección del servidor no es válida");
    return false;
  }
  if (port < 1 || port > 65535) {
    set_error(error, "el puerto debe estar entre 1 y 65535");
    return false;
  }
  std::uint8_t id[TABLE_ID_BYTES];
  if (!table_crypto_random(id) || !table_crypto_random(code.key)) {
    set_error(error, "no se pudieron obtener bytes aleatorios del sistema");
    return false;
  }
  code.host.assign(host);
  code.port = port;
  id_text(id, code.table_id);
  return true;
}

bool table_code_format(const TableCode& code, FixedText<TABLE_CODE_MAX>& out) {
  out.clear();
  std::uint8_t id[TABLE_ID_BYTES];
  if (!table_code_host_valid(code.host.view()) || code.port < 1 || code.port > 65535 ||
      !id_bytes(code.table_id.view(), id)) {
    return false;
  }
  std::uint8_t bytes[kMaxBytes];
  std::size_t n = 0;
  std::uint8_t ip[4];
  bool numeric = parse_ipv4(code.host.view(), ip);
  bytes[n++] = static_cast<std::uint8_t>((kVersion << 4) | (numeric ? kHostIpv4 : kHostName) |
                                         (code.open_broker ? kOpenBroker : 0));
  if (numeric) {
    for (std::uint8_t b : ip) bytes[n++] = b;
  } else {
    bytes[n++] = static_cast<std::uint8_t>(code.host.size());
    for (char c : code.host.view()) bytes[n++] = static_cast<std::uint8_t>(c);
  }
  bytes[n++] = static_cast<std::uint8_t>(code.port >> 8);
  bytes[n++] = static_cast<std::uint8_t>(code.port & 0xFF);
  for (std::uint8_t b : id) bytes[n++] = b;
  for (std::uint8_t b : code.key) bytes[n++] = b;
  std::uint8_t sum[kChecksumBytes];
  checksum(bytes, n, sum);
  for (std::uint8_t b : sum) bytes[n++] = b;

  // Five bits per character, the last character padded with zero bits.
  std::size_t written = 0;
  std::uint32_t buffer = 0;
  int bits = 0;
  auto put = [&](int value) {
    if (written > 0 && written % TABLE_CODE_GROUP == 0) out.append('-');
    out.append(kAlphabet[value]);
    ++written;
  };
  for (std::size_t i = 0; i < n; ++i) {
    buffer = (buffer << 8) | bytes[i];
    bits += 8;
    while (bits >= 5) {
      bits -= 5;
      put(static_cast<int>((buffer >> bits) & 31));
    }
  }
  if (bits > 0) put(static_cast<int>((buffer << (5 - bits)) & 31));
  return true;
}

bool table_code_parse(std::string_view text, TableCode& code, TableErrorText* error) {
  std::memset(static_cast<void*>(&code), 0, sizeof code);
  std::uint8_t bytes[kMaxBytes + 1];
  std::size_t n = 0;
  std::uint32_t buffer = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '-' || c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
    int v = base32_value(c);
    if (v < 0) {
      if (error != nullptr) {
        char line[TABLE_ERROR_BYTES];
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x21 && u < 0x7F) {
          std::snprintf(line, sizeof line,
                        "el código tiene un carácter que no puede llevar: '%c' "
                        "(solo cifras y letras, sin I, L, O ni U)",
                        c);
        } else {
          std::snprintf(line, sizeof line,
                        "el código tiene un carácter que no puede llevar (solo cifras y letras)");
        }
        error->assign(line);
      }
      return false;
    }
    buffer = (buffer << 5) | static_cast<std::uint32_t>(v);
    bits += 5;
    if (bits >= 8) {
      bits -= 8;
      if (n == sizeof bytes) {
        set_error(error, "el código es demasiado largo: ¿se ha pegado dos veces?");
        return false;
      }
      bytes[n++] = static_cast<std::uint8_t>((buffer >> bits) & 0xFF);
    }
  }
  const std::size_t fixed = 2 + TABLE_ID_BYTES + TABLE_KEY_BYTES + kChecksumBytes;
  if (n < 1 + 2 + fixed) {
    set_error(error, "el código está incompleto: faltan caracteres");
    return false;
  }
  std::uint8_t kind = bytes[0] & kHostKindMask;
  std::size_t host_bytes = kind == kHostIpv4 ? 4 : (kind == kHostName ? 1u + bytes[1] : 0);
  std::size_t expected = 1 + host_bytes + fixed;
  // A whole code has fewer than five padding bits left over.
  if (host_bytes == 0 || n != expected || bits >= 5 || (buffer & ((1u << bits) - 1)) != 0) {
    set_error(error, n < expected ? "el código está incompleto: faltan caracteres"
                                  : "el código no es válido: ¿hay una errata al copiarlo?");
    return false;
  }
  std::uint8_t sum[kChecksumBytes];
  checksum(bytes, n - kChecksumBytes, sum);
  if (std::memcmp(sum, bytes + n - kChecksumBytes, kChecksumBytes) != 0) {
    set_error(error, "el código no es válido: ¿hay una errata al copiarlo?");
    return false;
  }
  if ((bytes[0] >> 4) != kVersion) {
    set_error(error, "el código es de otra versión del juego");
    return false;
  }
  code.open_broker = (bytes[0] & kOpenBroker) != 0;
  std::size_t at = 1;
  if (kind == kHostIpv4) {
    char host[16];
    std::snprintf(host, sizeof host, "%u.%u.%u.%u", bytes[1], bytes[2], bytes[3], bytes[4]);
    code.host.assign(host);
    at += 4;
  } else {
    code.host.assign(std::string_view(reinterpret_cast<const char*>(bytes + 2), bytes[1]));
    at += host_bytes;
    if (!table_code_host_valid(code.host.view())) {
      set_error(error, "el código lleva una dirección de servidor no válida");
      return false;
    }
  }
  code.port = (bytes[at] << 8) | bytes[at + 1];
  at += 2;
  if (code.port == 0) {
    set_error(error, "el código lleva un puerto no válido");
    return false;
  }
  std::uint8_t id[TABLE_ID_BYTES];
  std::memcpy(id, bytes + at, TABLE_ID_BYTES);
  at += TABLE_ID_BYTES;
  id_text(id, code.table_id);
  std::memcpy(code.key, bytes + at, TABLE_KEY_BYTES);
  return true;
}
