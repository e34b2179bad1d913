#include "common/text_util.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/fixed_list.h"
#include "common/fixed_text.h"
#include "common/json_text.h"

TEST(TextUtil, DecimalReaderSaturatesAndFollowsTheCRule) {
  struct Case {
    const char* text;
    int32_t expected;
  } cases[] = {
      {"42", 42},
      {"\t\n -7x", -7},
      {"+3", 3},
      {"", 0},
      {"abc", 0},
      {"-", 0},
      {"1883.9", 1883},
      {"2147483647", INT32_MAX},
      {"2147483648", INT32_MAX},
      {"4294967297", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"-18446744073709551617", INT32_MIN},
  };
  for (const auto& c : cases) EXPECT_EQ(read_decimal_i32(c.text), c.expected) << c.text;
  EXPECT_EQ(read_decimal_i32(static_cast<const char*>(nullptr)), 0);
}

TEST(TextUtil, TrimAndAsciiFolding) {
  char a[] = " \t\r\n hola mundo \v\f ", b[] = "   ";
  trim(a);
  trim(b);
  EXPECT_STREQ(a, "hola mundo");
  EXPECT_STREQ(b, "");
  EXPECT_EQ(trim_view("  x y  "), "x y");
  EXPECT_TRUE(ascii_iequals("ÉXITO", "ÉxITO"));
  EXPECT_FALSE(ascii_iequals("Éxito", "éxito"));  // accented letters are not folded
  EXPECT_TRUE(ascii_icontains("Abrir la PUERTA", "puerta"));
}

TEST(TextUtil, PrintableTextHidesControlBytesOnly) {
  const struct {
    std::string_view text, shown;
  } cases[] = {
      {"Ana", "Ana"},
      {"Íñigo 🐉 ß", "Íñigo 🐉 ß"},  // ordinary UTF-8 stays as it is
      {"A\x1b[2Jna", "A?[2Jna"},
      {"a\tb\nc\x7f\x01\r", "a\tb\nc???"},  // line feed and tab pass
      {"x\xc2\x9b"
       "31m\xc2\xa0y",
       "x?31m\xc2\xa0y"},  // C1 CSI goes, a no-break space stays
      {"ab\xc2", "ab?"},   // the next text written could finish it as a C1 control
      {"\xc2\xa1\xc3", "\xc2\xa1\xc3"},
  };
  for (const auto& c : cases) EXPECT_EQ(text_printable(c.text), c.shown) << c.text;
}

// What other writers and older files hold: any other escaped character is taken as itself, a \u
// with too few digits as the letter u. (Every byte escaped and read back is the save round trip's
// test: SaveFile.EveryTextSurvivesARoundTripAndTheFileStaysValidJson.)
TEST(JsonText, DecodesWhatOtherWritersWrite) {
  const struct {
    std::string_view quoted, decoded;
  } cases[] = {
      {"\"a\\qb\\/\\\"\"", "aqb/\""},
      {"\"\\u00e9\\u20AC\\ud83d\\udc09\"", "é€🐉"},
      {"\"\\ud83dx\\udc09\"", "\xef\xbf\xbdx\xef\xbf\xbd"},  // halves alone
      {"\"a\\u0000b\\u12\"", "abu12"},  // a NUL would end the text: it is left out
      {"\"cola\\", "cola\\"},
  };
  for (const auto& c : cases) {
    std::string out;
    json_text_decode_quoted(c.quoted, 0, 100, &out);
    EXPECT_EQ(out, c.decoded) << c.quoted;
  }
}

TEST(BoundedTypes, TextsAndListsCutSilentlyAtCapacity) {
  FixedText<4> t;
  t.assign("abcdef");
  EXPECT_EQ(t.view(), "abc");
  t.assign("a");
  EXPECT_TRUE(t.append("b"));
  EXPECT_FALSE(t.append("cd"));
  EXPECT_EQ(t.view(), "abc");
  std::memset(t.data, 'x', sizeof t.data);  // a record with no terminator
  EXPECT_FALSE(t.append("y"));
  EXPECT_EQ(t.view(), "xxx");
  char raw[5] = "xx";
  text_append(raw, sizeof raw, "yyyy");
  EXPECT_STREQ(raw, "xxyy");

  int items[3];
  int32_t count = 0;
  for (int i = 0; i < 3; ++i) ASSERT_NE(list_append(items, count), nullptr);
  EXPECT_EQ(list_append(items, count), nullptr);
  EXPECT_EQ(count, 3);
  items[1] = 7;
  EXPECT_TRUE(list_remove_at(items, count, 0));
  EXPECT_EQ(count, 2);
  EXPECT_EQ(items[0], 7);
  EXPECT_FALSE(list_remove_at(items, count, 5));
  EXPECT_EQ(list_used(items, 99).size(), 3u);  // a corrupt count never runs off the array
}
