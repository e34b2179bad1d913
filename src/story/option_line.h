// The grammar of option lines ("- [-> 2] Avanzar", checks, requirements...).
#pragma once

#include <string_view>

#include "story/story.h"
#include "story/story_diagnostics.h"

// Resets `out` to zero bytes, then parses one trimmed option line into it.
// Returns true when the line is an option; on false `out` carries no meaning.
bool parse_transition_line(std::string_view line, StoryTransition& out);
// The same, also reporting to `sink` at `line_number` why a line is no
// option, the keys and numbers it could not read and what it cut.
bool parse_transition_line(std::string_view line, StoryTransition& out,
                           const StoryDiagnosticSink& sink, int line_number);

// True when `text` holds an option tag ("[->", "[Check:" or "[Requiere:")
// closed by a "]": a line meant as an option.
bool option_line_has_tag(std::string_view text);
