#include "rules/option_rules.h"

#include <cstdio>

#include "common/fixed_list.h"
#include "common/text_util.h"
#include "rules/resolve.h"

namespace {

constexpr std::size_t kWordMax = 63;  // first words are compared up to this length
using Word = FixedText<kWordMax + 1>;

// The first space-delimited word of a normalised text.
void first_word(Word& out, std::string_view text) { out.assign(text.substr(0, text.find(' '))); }

}  // namespace

bool rules_option_line_is_number(std::string_view line) {
  if (line.empty()) return false;
  for (char c : line) {
    if (!is_ascii_digit(c)) return false;
  }
  return true;
}

OptionAccess rules_option_access(const StoryTransition& t) {
  if (!t.is_hidden) return t.has_command ? OptionAccess::kCommand : OptionAccess::kNumbered;
  // Hidden: only typing its command (its label when the command is empty) reaches it.
  return t.has_command && !rules_option_command_or_label(t).empty() ? OptionAccess::kHiddenCommand
                                                                    : OptionAccess::kNone;
}

bool rules_option_is_numbered(const StoryTransition& t) {
  return rules_option_access(t) == OptionAccess::kNumbered;
}

std::string_view rules_option_command_or_label(const StoryTransition& t) {
  return t.command.empty() ? t.label.view() : t.command.view();
}

int rules_option_number(const StorySection& section, int index) {
  if (index < 0 || index >= section.transition_count) return 0;
  if (!rules_option_is_numbered(section.transitions[index])) return 0;
  int number = 0;
  for (int i = 0; i <= index; ++i) {
    if (rules_option_is_numbered(section.transitions[i])) ++number;
  }
  return number;
}

const StoryTransition* rules_option_by_number(const StorySection& section, std::int32_t number) {
  std::int32_t seen = 0;
  for (const StoryTransition& t : list_used(section.transitions, section.transition_count)) {
    if (rules_option_is_numbered(t) && ++seen == number) return &t;
  }
  return nullptr;
}

int rules_option_numbered_count(const StorySection& section) {
  int count = 0;
  for (const StoryTransition& t : list_used(section.transitions, section.transition_count)) {
    if (rules_option_is_numbered(t)) ++count;
  }
  return count;
}

void rules_option_clean(char* out, std::size_t capacity, std::string_view text) {
  if (out == nullptr || capacity == 0) return;
  std::size_t n = 0;
  std::size_t i = 0;
  while (i < text.size() && is_blank(text[i])) ++i;
  for (; i < text.size() && text[i] != '\0' && n + 1 < capacity; ++i) {
    if (is_blank(text[i])) {
      if (out[n - 1] != ' ') out[n++] = ' ';  // n > 0: leading blanks were skipped
    } else {
      out[n++] = ascii_lower(text[i]);
    }
  }
  if (n > 0 && out[n - 1] == ' ') --n;
  out[n] = '\0';
}

void rules_option_clean(OptionLineText& out, std::string_view text) {
  rules_option_clean(out.raw(), out.capacity(), text);
}

std::string_view rules_option_command_text(std::string_view cleaned) {
  if (starts_with(cleaned, ">_")) cleaned.remove_prefix(2);
  while (!cleaned.empty() && (cleaned[0] == '#' || cleaned[0] == '$' || cleaned[0] == ' ')) {
    cleaned.remove_prefix(1);
  }
  return cleaned;
}

// A story may write "$ sudo reboot"; the player's "$" is dropped from what was
// typed, so it must be dropped from what is expected too.
void rules_option_expected(const StoryTransition& t, OptionLineText& out) {
  OptionLineText cleaned;
  rules_option_clean(cleaned, rules_option_command_or_label(t));
  out.assign(rules_option_command_text(cleaned.view()));
}

const StoryTransition* rules_option_find_command(const StorySection& section,
                                                 std::string_view typed) {
  if (typed.empty()) return nullptr;
  Word typed_first;
  first_word(typed_first, typed);
  bool has_marker = typed.find("token_backup") != std::string_view::npos ||
                    typed.find("-d") != std::string_view::npos;
  for (const StoryTransition& t : list_used(section.transitions, section.transition_count)) {
    if (!t.has_command) continue;
    OptionLineText expected;
    rules_option_expected(t, expected);
    if (typed == expected.view()) return &t;
    if (!t.is_hidden || !has_marker) continue;
    Word expected_first;
    first_word(expected_first, expected.view());
    if (!expected_first.empty() && expected_first == typed_first.view()) return &t;
  }
  return nullptr;
}

bool rules_option_allowed(const Character& hero, const StoryTransition& t, char* why,
                          std::size_t why_capacity) {
  return !rules_transition_refused(hero, t, why, why_capacity);
}

bool rules_option_input(const StorySection& section, int index, OptionLineText& out) {
  out.clear();
  if (index < 0 || index >= section.transition_count) return false;
  const StoryTransition& t = section.transitions[index];
  switch (rules_option_access(t)) {
    case OptionAccess::kNone:
      return false;
    case OptionAccess::kNumbered: {
      char digits[16];
      std::snprintf(digits, sizeof digits, "%d", rules_option_number(section, index));
      out.assign(digits);
      return true;
    }
    case OptionAccess::kCommand:
    case OptionAccess::kHiddenCommand:
      break;
  }
  // The command as listed, read the way the turn loop reads a typed line:
  // empty lines, slash commands and numbers never reach the command options.
  std::string_view typed = rules_option_command_or_label(t);
  if (typed.empty() || typed[0] == '/' || rules_option_line_is_number(typed)) return false;
  OptionLineText cleaned;
  rules_option_clean(cleaned, typed);
  if (rules_option_find_command(section, rules_option_command_text(cleaned.view())) != &t) {
    return false;
  }
  out.assign(typed);
  return true;
}

bool rules_option_is_move(const StorySection& section, int index, const Character& hero) {
  OptionLineText input;
  if (!rules_option_input(section, index, input)) return false;
  return rules_option_allowed(hero, section.transitions[index], nullptr, 0);
}
