// Random playthroughs of a story through the real session code.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "story/story.h"

struct WalkReport {
  int walks = 0;
  std::map<std::string, int> endings;      // "[id] title (type)" -> times reached
  std::map<std::string, int> deaths;       // cause -> times
  std::map<std::string, int> other_ends;   // missing sections, turn limit
  std::vector<std::string> never_visited;  // "[id] title", in story order
  int longest_run = 0;                     // turns of the longest playthrough
  std::vector<std::string> longest_path;   // section ids of that run
  int missing_sections = 0;                // runs that met an option leading to no section
};

// Plays `walks` adventures choosing at random among the moves (the options a
// typed line reaches and the hero may take), typing the line that takes each,
// with the offline narrator, no screens, no pauses and no music. The same seed
// gives the same report. `story_path` names the story (for the slug only). A run
// that takes an option leading to no section ends there and is counted. False
// when no scratch folder could be made for the runs' autosaves.
bool story_walk(const Story& story, const std::string& story_path, int walks, std::uint32_t seed,
                WalkReport& report);
std::string story_walk_format(const Story& story, const WalkReport& report);
