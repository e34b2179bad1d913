#include "common/display_width.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

TEST(DisplayWidth, ColumnsOfAsciiAccentsWideEmojiMarksAndEscapes) {
  const struct {
    std::string_view text;
    int columns;
  } cases[] = {
      {"", 0},
      {"Ana", 3},
      {"Íñigo", 5},
      {"n\xcc\x83o", 2},  // n + combining tilde, o
      {"漢字", 4},
      {"ｗ", 2},  // fullwidth
      {"🐉", 2},
      {"⚠", 1},
      {"⚠\uFE0F", 2},  // text symbol shown as emoji
      {"🎒\uFE0F", 2},
      {"👨\u200D👩\u200D👧", 2},  // one joined family
      {"🇪🇸🇫", 3},              // a flag, then a lone letter
      {"👍🏽", 2},         // skin tone
      {"a\u200Bb", 2},         // zero-width space
      {"═║█░●│", 6},           // box drawing and blocks are narrow
      {"\x1b[38;5;39m║ \x1b[1m\x1b[0m", 2},
      {"\xff\xfe", 2},      // invalid bytes take one column each
      {"\xc3", 1},          // a character cut short
      {"\xed\xa0\x80", 3},  // an encoded surrogate is not UTF-8
      {"\xc0\xaf", 2},      // nor is an overlong form
      {"a\tb\n", 2},        // control bytes take none
      {"\xc2\x9b", 0},      // nor do C1 controls
  };
  for (const auto& c : cases) EXPECT_EQ(text_display_width(c.text), c.columns) << c.text;
}

TEST(DisplayWidth, PrefixNeverSplitsACharacterNorLeavesItsMarks) {
  const struct {
    std::string_view text;
    int columns;
    std::size_t bytes;
    int used;
  } cases[] = {
      {"abc", 2, 2, 2},        {"abc", 9, 3, 3},
      {"漢字", 3, 3, 2},        // the second wide character does not fit in one column
      {"e\xcc\x81x", 1, 3, 1},  // é made of e and a combining accent stays whole
      {"⚠\uFE0Fa", 1, 0, 0},    // the selector makes it two columns
      {"ab\x1b[0m", 2, 6, 2},   // a colour after the last column is kept
      {"ab\x1b[0mc", 2, 6, 2}, {"👨\u200D👩x", 2, 11, 2},  // the joined pair is one piece
      {"abc", 0, 0, 0},        {"abc", -3, 0, 0},
  };
  for (const auto& c : cases) {
    int used = -1;
    EXPECT_EQ(text_prefix_for_width(c.text, c.columns, &used), c.bytes) << c.text << c.columns;
    EXPECT_EQ(used, c.used) << c.text << c.columns;
  }

  // Every cut of a mixed text starts a character and fits.
  const std::string mixed = "Ñu 漢 🐉⚠\uFE0F é\xcc\x81 \xff 🇪🇸!";
  const int total = text_display_width(mixed);
  for (int columns = 0; columns <= total; ++columns) {
    int used = 0;
    std::size_t bytes = text_prefix_for_width(mixed, columns, &used);
    // A valid UTF-8 text never has a continuation byte right after a cut.
    EXPECT_TRUE(bytes == mixed.size() || (static_cast<unsigned char>(mixed[bytes]) & 0xC0) != 0x80)
        << columns;
    EXPECT_LE(used, columns);
    EXPECT_EQ(text_display_width(mixed.substr(0, bytes)), used);
    EXPECT_GE(used, columns - 1);  // nothing wider than two columns is left out early
  }
}

TEST(DisplayWidth, WrapBreaksAtBlanksHardBreaksLongWordsAndKeepsLineFeeds) {
  const struct {
    std::string_view text;
    int width;
    int column;
    std::string_view wrapped;
  } cases[] = {
      {"uno dos tres", 7, 0, "uno dos\ntres"},
      {"uno dos tres", 12, 0, "uno dos tres"},   // a line may fill every column
      {"uno   dos", 4, 0, "uno\ndos"},           // the blanks at a break go
      {"uno dos  \nfin", 7, 0, "uno dos\nfin"},  // blanks that overflow before a line feed go
      {"a\n\nb c", 3, 0, "a\n\nb c"},            // paragraphs stay
      {"abcdefghij", 4, 0, "abcd\nefgh\nij"},
      {"ab abcdefghij", 4, 0, "ab\nabcd\nefgh\nij"},  // a long word starts a line of its own
      {"漢字漢字 x", 3, 0, "漢\n字\n漢\n字\nx"},
      {"漢", 1, 0, "漢"},                  // too wide for any line: shown rather than lost
      {"La cripta", 12, 8, "La\ncripta"},  // the first line starts after a prefix
      {"palabra", 10, 5, "\npalabra"},
      {"ñandú ñandú", 5, 0, "ñandú\nñandú"},  // columns, not bytes
      {"\x1b[1mab\x1b[0m cd", 2, 0, "\x1b[1mab\x1b[0m\ncd"},
      {"abcdefg\tx", 9, 0, "abcdefg\tx"},  // the tab reaches column 8
      {"abcdefg\tx", 8, 0, "abcdefg\nx"},
      {"sin cambios", 0, 0, "sin cambios"},
      {"", 10, 0, ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(text_wrap(c.text, c.width, c.column), c.wrapped) << c.text << " @" << c.width;
}
