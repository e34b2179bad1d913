#include "table/table_code.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "table/table_topic.h"

namespace {

TableCode make_code(const char* host, std::int32_t port) {
  TableCode code;
  EXPECT_TRUE(table_code_new(code, host, port, nullptr));
  return code;
}

std::string formatted(const TableCode& code) {
  FixedText<TABLE_CODE_MAX> text;
  EXPECT_TRUE(table_code_format(code, text));
  return text.c_str();
}

}  // namespace

TEST(TableCode, RoundTripsAddressPortIdAndKey) {
  for (auto [host, port] :
       {std::pair{"127.0.0.1", 1883}, std::pair{"255.0.10.1", 65535},
        std::pair{"test.mosquitto.org", 1}, std::pair{"a", 8883}, std::pair{"1.2.3", 1883}}) {
    TableCode code = make_code(host, port);
    code.open_broker = port == 1;  // a public broker's table says so in its code
    std::string text = formatted(code);
    TableCode back;
    TableErrorText error{};
    ASSERT_TRUE(table_code_parse(text, back, &error)) << host << ": " << error.c_str();
    EXPECT_EQ(back.host.view(), host);
    EXPECT_EQ(back.port, port);
    EXPECT_EQ(back.table_id.view(), code.table_id.view());
    EXPECT_EQ(std::memcmp(back.key, code.key, TABLE_KEY_BYTES), 0);
    EXPECT_EQ(back.open_broker, port == 1) << host;
    // Read as a person may type it: lower case, no dashes, spaces, O for 0.
    std::string typed;
    for (char c : text)
      if (c != '-') typed += c == '0' ? 'o' : static_cast<char>(std::tolower(c));
    ASSERT_TRUE(table_code_parse(" " + typed + "\n", back, nullptr)) << typed;
    EXPECT_EQ(back.host.view(), host);
  }
  // An address is written in its four bytes: the code stays short.
  EXPECT_LE(formatted(make_code("127.0.0.1", 1883)).size(), 60u);
}

TEST(TableCode, TyposAndWhatACodeCannotCarryAreRefusedInSpanish) {
  std::string text = formatted(make_code("192.168.1.20", 1883));
  TableCode back;
  TableErrorText error{};
  // Each single-character change is caught by the checksum.
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '-') continue;
    std::string typo = text;
    typo[i] = text[i] == 'X' ? 'Y' : 'X';
    EXPECT_FALSE(table_code_parse(typo, back, &error)) << typo;
    EXPECT_STRNE(error.c_str(), "");
  }
  std::string swapped = text;
  std::swap(swapped[0], swapped[1]);  // the first two characters differ for this address
  const std::pair<std::string, std::string> refused[] = {
      {swapped, "el código no es válido: ¿hay una errata al copiarlo?"},
      {text.substr(0, text.size() - 3), "el código está incompleto: faltan caracteres"},
      {text + text + text + text, "el código es demasiado largo: ¿se ha pegado dos veces?"},
      {"ABCDU",
       "el código tiene un carácter que no puede llevar: 'U' (solo cifras y letras, sin I, L, O "
       "ni U)"},
      {"AB\x1b[31m", "el código tiene un carácter que no puede llevar (solo cifras y letras)"},
  };
  for (const auto& [typo, message] : refused) {
    EXPECT_FALSE(table_code_parse(typo, back, &error)) << typo;
    EXPECT_EQ(error.c_str(), message);
  }
  EXPECT_FALSE(table_code_parse("", back, &error));

  TableCode code;
  EXPECT_TRUE(table_code_new(code, std::string(63, 'a'), 1883, &error));
  for (const std::string& host : {std::string(), std::string("host name"), std::string(64, 'a')})
    EXPECT_FALSE(table_code_new(code, host, 1883, &error)) << host;
  for (std::int32_t port : {65536, 0})
    EXPECT_FALSE(table_code_new(code, "127.0.0.1", port, &error));
  EXPECT_STREQ(error.c_str(), "el puerto debe estar entre 1 y 65535");
  TableCode a = make_code("127.0.0.1", 1883), b = make_code("127.0.0.1", 1883);
  EXPECT_NE(a.table_id.view(), b.table_id.view());
  EXPECT_NE(std::memcmp(a.key, b.key, TABLE_KEY_BYTES), 0);
}

// An adventurer's id is the name's slug: accents written as their plain
// letters, at most the id's length; a name with no letter or digit names nobody.
TEST(TablePlayerId, NamesBecomeIdsWithoutAccentsOrHashes) {
  const std::pair<std::string, std::string> cases[] = {
      {"Ana", "ana"}, {"Ánä Pérez", "ana_perez"}, {"Bea-2", "bea_2"}, {"Ñandú", "nandu"}};
  for (const auto& [name, id] : cases) {
    TablePlayerId out;
    ASSERT_TRUE(table_player_id(name, out)) << name;
    EXPECT_EQ(out.view(), id) << name;
  }
  TablePlayerId out;
  EXPECT_FALSE(table_player_id("¡¿!?", out));
  EXPECT_FALSE(table_player_id("__", out));
  ASSERT_TRUE(table_player_id(std::string(200, 'z'), out));
  EXPECT_EQ(out.size(), TABLE_PLAYER_ID_MAX);
}
