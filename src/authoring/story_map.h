// The story's graph as Graphviz DOT, for authors.
#pragma once

#include <string>

#include "story/story.h"

std::string story_map_dot(const Story& story);
