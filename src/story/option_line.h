// The grammar of option lines ("- [-> 2] Avanzar", checks, requirements...).
#pragma once

#include <string_view>

#include "story/story.h"

// Resets `out` to zero bytes, then parses one trimmed option line into it.
// Returns true when the line is an option; on false `out` carries no meaning.
bool parse_transition_line(std::string_view line, StoryTransition& out);
