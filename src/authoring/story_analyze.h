// Exact analysis of a story: every state a hero can be in (section, hit
// points, carried items, set flags), explored with the game's own rules, and
// what follows from them: how often a random player ends each way, how likely
// a careful player is to win, where the story traps the hero or silently
// stops being winnable, and which options no hero can ever take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "story/story.h"

// Explored states are counted against this cap unless the caller sets another.
inline constexpr std::int64_t ANALYZE_DEFAULT_MAX_STATES = 2000000;
// Items and flags are kept as sets of bits: a story may carry at most this
// many distinct names of each (the hero's inventory holds 64, so the sets
// then behave exactly like the sheet's lists).
inline constexpr int ANALYZE_MAX_NAMES = 64;
// A loop of states (states that can reach one another) is solved exactly by
// elimination, which fills in new weights as it goes; it may hold this many
// at once (about 16 bytes each). A loop that needs more is iterated instead,
// for at most 16 edge visits per entry of this budget, and reported as not
// exact, with bounds.
inline constexpr std::int64_t ANALYZE_DEFAULT_MAX_SOLVER_ENTRIES = std::int64_t{1} << 22;

// One step of a witness: the section, then the option taken there (1-based,
// 0 on the last step) and the check tier that decided where it led
// (OUTCOME_NONE when the option rolled nothing).
struct AnalyzeStep {
  int section = -1;  // index into story.sections
  int option = 0;
  int tier = 0;
};
using AnalyzePath = std::vector<AnalyzeStep>;

// How a random player's adventures end, as probabilities that add up to 1.
struct AnalyzeRandomPlay {
  bool exact = true;  // false: some loop was too large to solve; see `unsolved`
  double victory = 0, defeat = 0, neutral = 0;  // ending sections by type
  double death = 0;
  double stuck = 0;            // a state without moves that is no ending
  double missing_section = 0;  // a destination that names no section
  double endless = 0;          // loops that never reach any end
  double unexplored = 0;       // mass that left the explored states (partial analysis)
  // Mass still inside loops too large to solve when the iteration stopped: each
  // figure above is at most this much below its exact value.
  double unsolved = 0;
};

struct AnalyzeEnding {
  int section = -1;
  double random_play = 0;
};

// A reachable state from which no end at all can be reached, the first (by
// shortest witness) of its section.
struct AnalyzeTrap {
  int section = -1;
  bool stuck = false;  // the state has no move (otherwise it loops for ever)
  AnalyzePath path;
};

// Reachable states of one section, alive and no trap, that can no longer win.
struct AnalyzeLostCause {
  int section = -1;
  std::int64_t states = 0;      // lost states of the section
  std::int64_t of_states = 0;   // all reachable states of the section
  std::string example_missing;  // item name, "flag:<name>", "hp", or empty
  AnalyzePath path;             // witness of the first lost state
};

struct AnalyzeCheck {
  int section = -1;
  int option = 0;  // 1-based, file order
  std::int32_t dc = 0;
  std::int32_t modifier = 0;
  int odds[6] = {0, 0, 0, 0, 0, 0};  // dice pairs out of 36, by RollOutcome (index 0 unused)
};

struct AnalyzeNeverTakeable {
  int section = -1;
  int option = 0;  // 1-based, file order
  // "hidden_without_command", "no_typed_input", "item_never_obtainable",
  // "flag_never_set", "flag_always_set", "never_allowed", "ending_section",
  // "death_on_arrival".
  std::string reason;
};

struct AnalyzeReport {
  bool analysable = false;  // false: `error` says why nothing was explored
  std::string error;
  std::int64_t states = 0;
  bool complete = false;  // false when the state cap stopped the exploration
  AnalyzeRandomPlay random_play;
  std::vector<AnalyzeEnding> endings;  // every ending section, story order
  int start_section = -1;              // where the first state stands; -1 when the start is an end
  double best_victory = 0;
  // False when some loop was too large to solve exactly: best_victory is then
  // what a strategy surely reaches (a lower bound) and best_victory_at_most an
  // upper bound (1 when nothing better is known).
  bool best_exact = true;
  double best_victory_at_most = 0;
  int best_first_option = 0;  // 1-based option of the start state; 0 when none
  std::vector<AnalyzeTrap> traps;
  std::vector<AnalyzeLostCause> lost_causes;
  std::vector<AnalyzeCheck> checks;
  std::vector<AnalyzeNeverTakeable> never_takeable;
  std::vector<int> unreachable_sections;
  std::vector<std::string> flags_set_never_tested;
  std::vector<std::string> flags_tested_never_set;
  std::vector<std::string> items_required_never_obtainable;
  std::vector<std::string> items_obtained_never_required;
  // Working memory of the analysis at its peak (states, moves and solver).
  std::size_t peak_bytes = 0;
};

// Analyses `story` with at most `max_states` explored states. False (with
// report.error) when the story cannot be analysed exactly.
bool story_analyze(const Story& story, std::int64_t max_states, AnalyzeReport& report,
                   std::int64_t max_solver_entries = ANALYZE_DEFAULT_MAX_SOLVER_ENTRIES);

// "1 → 4 [Agilidad: fallo] → 6": sections by id, with the tier where a check decided.
std::string story_analyze_path_text(const Story& story, const AnalyzePath& path);
// The Spanish report of one story.
std::string story_analyze_format_text(const Story& story, const std::string& file,
                                      const AnalyzeReport& report);
// One JSON object (no trailing newline), indented by `indent` spaces.
std::string story_analyze_format_json(const Story& story, const std::string& file,
                                      const AnalyzeReport& report, int indent);
