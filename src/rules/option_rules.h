// How a player reaches the options of a scene: which carry a number, which are
// taken by typing a terminal command (and what text that command is), and
// which of them this hero may take now. The turn loop, the option panel, the
// author's playthrough runner, map and analyzer all ask here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "character/character.h"
#include "common/fixed_text.h"
#include "story/story.h"

// A typed line, normalised, and the text a command option expects: at most
// this many bytes (the player's line buffer).
inline constexpr std::size_t OPTION_LINE_CAPACITY = 512;
using OptionLineText = FixedText<OPTION_LINE_CAPACITY>;

enum class OptionAccess : std::uint8_t {
  kNumbered,       // listed with a number, chosen by typing it
  kCommand,        // listed as ">_ command", chosen by typing the command
  kHiddenCommand,  // never listed, chosen by typing its command
  kNone,           // hidden with nothing to type: no input reaches it
};

OptionAccess rules_option_access(const StoryTransition& t);
// Options chosen by number are those neither hidden nor bound to a terminal command.
bool rules_option_is_numbered(const StoryTransition& t);
// What a command option shows and is typed as: its command, or its label when
// the command itself is empty.
std::string_view rules_option_command_or_label(const StoryTransition& t);

// A typed line made only of ASCII digits (at least one) names an option by number.
bool rules_option_line_is_number(std::string_view line);

// The number option `index` of `section` is listed with (1-based), 0 when it
// carries none. Locked options keep their number.
int rules_option_number(const StorySection& section, int index);
// The option listed with `number`, or nullptr.
const StoryTransition* rules_option_by_number(const StorySection& section, std::int32_t number);
int rules_option_numbered_count(const StorySection& section);

// Lower-cases ASCII letters and collapses white space into one space, without
// leading or trailing blanks: how typed lines and expected commands compare.
// The text stops at a NUL byte; it is cut to capacity-1 bytes before a blank
// left at the end is dropped. A null `out` or a capacity of 0 writes nothing.
void rules_option_clean(char* out, std::size_t capacity, std::string_view text);
void rules_option_clean(OptionLineText& out, std::string_view text);
// A normalised line without its prompt marker (">_") and leading shell sigils
// ("#", "$"): the command the player meant.
std::string_view rules_option_command_text(std::string_view cleaned);
// The text a command option expects, read the way a typed line is read.
void rules_option_expected(const StoryTransition& t, OptionLineText& out);

// The command option a typed command names: the first whose expected text is
// exactly `typed` (already cleaned and stripped of its marker), or a hidden one
// whose first word matches when the line carries one of the hidden markers.
const StoryTransition* rules_option_find_command(const StorySection& section,
                                                 std::string_view typed);

// True when the hero may take the option now; otherwise the reason (the
// resolution's refusal message) is written to `why` when it is not null.
bool rules_option_allowed(const Character& hero, const StoryTransition& t, char* why,
                          std::size_t why_capacity);

// The line a player types to take option `index`: its number, or its command
// as listed. False when no typed line reaches that option (hidden without a
// command, a command that an earlier option shadows, one that reads as a
// number or a slash command, or an empty one).
bool rules_option_input(const StorySection& section, int index, OptionLineText& out);

// A move: an option some typed line reaches and the resolution does not refuse
// for this hero. The playthrough runner chooses among these; the analyzer
// explores exactly these.
bool rules_option_is_move(const StorySection& section, int index, const Character& hero);
