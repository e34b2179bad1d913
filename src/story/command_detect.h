// Recognises options that are typed as terminal commands.
#pragma once

#include <array>
#include <string_view>

#include "common/fixed_text.h"
#include "story/story_diagnostics.h"

inline constexpr int KNOWN_SHELL_COMMAND_COUNT = 37;
// Command words, compared without regard to ASCII case. The order is the search order.
extern const std::array<const char*, KNOWN_SHELL_COMMAND_COUNT> KNOWN_SHELL_COMMANDS;

// True when `word` equals a known command word ignoring ASCII case.
bool is_known_shell_command(std::string_view word);

// Decides whether an option's label names a terminal command: an explicit
// "[Cmd:"/"[Comando:" tag (cut out of the label), a command between backticks,
// or a label whose first word is a known command. Fills command/has_command.
void detect_command_in_text(FixedText<512>& label, FixedText<256>& command, bool& has_command);
// The same, also reporting to `sink` at `line` a sentence that became a
// command by its first word and a command cut at its capacity.
void detect_command_in_text(FixedText<512>& label, FixedText<256>& command, bool& has_command,
                            const StoryDiagnosticSink& sink, int line);
