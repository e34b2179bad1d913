#include "common/text_util.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/fixed_list.h"
#include "common/fixed_text.h"

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
