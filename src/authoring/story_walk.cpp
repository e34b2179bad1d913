#include "authoring/story_walk.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>

#include "authoring/text_join.h"
#include "character/character.h"
#include "config/config.h"
#include "rules/option_rules.h"
#include "session/session.h"
#include "ui/text_output.h"

namespace {

// A playthrough that has not ended after this many answers is cut off.
constexpr int kTurnLimit = 1000;

struct Walker {
  const Story* story = nullptr;
  std::mt19937 rng;
  std::string pending;                    // the next line the "player" types
  const StoryTransition* last = nullptr;  // the option chosen last
  int last_section = -1;
  int turns = 0;
  bool cut_off = false;
  bool stuck = false;
  bool broken = false;  // an option led to no section
  std::vector<int> path;
  std::vector<bool> visited;
  SessionEnd end = SESSION_END_NONE;
  const StorySection* final_section = nullptr;
};

int section_index(const Story& story, const StorySection& section) {
  return static_cast<int>(&section - story.sections);
}

void before_prompt(const StorySection& section, const Character& hero, void* context) {
  Walker& w = *static_cast<Walker*>(context);
  int index = section_index(*w.story, section);
  w.visited[static_cast<std::size_t>(index)] = true;
  w.path.push_back(index);
  w.last_section = index;

  if (w.broken) {
    w.pending = "/salir";
    return;
  }
  if (w.turns >= kTurnLimit) {
    w.cut_off = true;
    w.pending = "/salir";
    return;
  }
  ++w.turns;
  // Candidate answers: the line that takes each move of this hero, in option
  // order. A move is exactly what the analyzer explores, so an option no
  // typed line reaches (hidden with nothing to type, a shadowed command) is
  // never chosen.
  std::vector<std::pair<std::string, const StoryTransition*>> choices;
  for (int o = 0; o < section.transition_count; ++o) {
    if (!rules_option_is_move(section, o, hero)) continue;
    OptionLineText input;
    rules_option_input(section, o, input);
    choices.emplace_back(std::string(input.view()), &section.transitions[o]);
  }
  if (choices.empty()) {
    w.stuck = true;
    w.pending = "/salir";
    return;
  }
  std::uniform_int_distribution<std::size_t> pick(0, choices.size() - 1);
  const auto& choice = choices[pick(w.rng)];
  w.pending = choice.first;
  w.last = choice.second;
}

void on_broken_link(const StorySection&, const StoryTransition&, const char*, void* context) {
  static_cast<Walker*>(context)->broken = true;
}

void on_end(SessionEnd end, const StorySection* section, const Character&, void* context) {
  Walker& w = *static_cast<Walker*>(context);
  w.end = end;
  w.final_section = section;
}

bool next_line(char* buffer, std::size_t capacity, void* context) {
  Walker& w = *static_cast<Walker*>(context);
  if (w.pending.empty() || capacity < 2) return false;
  std::string line = w.pending + "\n";
  std::size_t n = std::min(line.size(), capacity - 1);
  std::memcpy(buffer, line.data(), n);
  buffer[n] = '\0';
  w.pending.clear();
  return true;
}

std::string section_name(const StorySection& s) {
  return join({"[", s.id.view(), "] ", s.title.view()});
}

const char* ending_name(std::string_view type) {
  if (type == "victory") return "victoria";
  if (type == "defeat") return "derrota";
  return "neutral";
}

// Why a playthrough ended, as one line of the report.
void record_end(const Story& story, const Walker& w, WalkReport& report) {
  const StorySection* last = w.last_section >= 0 ? &story.sections[w.last_section] : nullptr;
  switch (w.end) {
    case SESSION_END_ENDING:
      if (w.final_section != nullptr) {
        report.endings[join({section_name(*w.final_section), " (",
                             ending_name(w.final_section->ending_type.view()), ")"})]++;
      }
      return;
    case SESSION_END_DEATH_AT_SCENE:
      report.deaths[w.final_section != nullptr
                        ? join({"peligro de la sección ", section_name(*w.final_section)})
                        : std::string("héroe sin vida al empezar")]++;
      return;
    case SESSION_END_DEATH_AFTER_ACTION: {
      std::string cause = "daño de una opción";
      if (w.last != nullptr) {
        cause = w.last->check_stat.empty() ? join({"daño al elegir «", w.last->label.view(), "»"})
                                           : join({"prueba de ", w.last->check_stat.view(),
                                                   " fallida en «", w.last->label.view(), "»"});
      }
      if (last != nullptr) cause += join({" (", section_name(*last), ")"});
      report.deaths[cause]++;
      return;
    }
    case SESSION_END_MISSING_SECTION:
      report.other_ends[join(
          {"sección inexistente tras ", last != nullptr ? section_name(*last) : "el inicio"})]++;
      report.missing_sections++;
      return;
    default:
      if (w.broken && last != nullptr) {
        report.other_ends[join({"sección inexistente tras ", section_name(*last)})]++;
        report.missing_sections++;
      } else if (w.stuck && last != nullptr) {
        report.other_ends[join({"sin opciones posibles en ", section_name(*last)})]++;
      } else if (w.cut_off) {
        report.other_ends[join({"cortada tras ", std::to_string(kTurnLimit), " turnos"})]++;
      } else {
        report.other_ends["terminada sin final"]++;
      }
      return;
  }
}

void no_sleep(std::int32_t, void*) {}

// Removes the scratch root and everything the runs left in it.
struct ScratchRoot {
  char path[32] = "/tmp/quillhaven_walk_XXXXXX";
  bool made = false;
  ScratchRoot() { made = mkdtemp(path) != nullptr; }
  ~ScratchRoot() {
    if (!made) return;
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

}  // namespace

bool story_walk(const Story& story, const std::string& story_path, int walks, std::uint32_t seed,
                WalkReport& report) {
  report = WalkReport{};
  report.walks = walks;
  Walker w;
  w.story = &story;
  w.rng.seed(seed);
  w.visited.assign(static_cast<std::size_t>(story.section_count), false);

  AppConfig config;
  config_set_defaults(config);
  config.offline_mode = true;
  config.music_enabled = false;
  config.typing_speed = 0.0f;

  // Runs that end by leaving write an autosave: they play with a scratch
  // folder as their root, never the author's, and without one there is no walk.
  ScratchRoot scratch;
  if (!scratch.made) return false;

  // The scripted player types the chosen lines; its screens are discarded,
  // its pauses take no time and it has no music.
  SessionObserver observer{before_prompt, on_end, on_broken_link, &w};
  Host player{};
  player.root.assign(scratch.path);
  player.ui.source = next_line;
  player.ui.sleep = no_sleep;
  player.ui.user = &w;

  for (int i = 0; i < walks; ++i) {
    player.ui.input_closed = false;
    w.pending.clear();
    w.last = nullptr;
    w.last_section = -1;
    w.turns = 0;
    w.cut_off = w.stuck = w.broken = false;
    w.path.clear();
    w.end = SESSION_END_NONE;
    w.final_section = nullptr;
    // Each run rolls its own dice, drawn from the walk's seed: the same seed
    // gives the same runs.
    std::uint32_t run_seed = static_cast<std::uint32_t>(w.rng());
    game_session_run({player, &observer, run_seed}, &story, story_path.c_str(), &config,
                     "Caminante", nullptr, nullptr);
    if (w.final_section != nullptr) {
      int index = section_index(story, *w.final_section);
      w.visited[static_cast<std::size_t>(index)] = true;
      if (w.path.empty() || w.path.back() != index) w.path.push_back(index);
    }
    if (w.turns > report.longest_run) {
      report.longest_run = w.turns;
      report.longest_path.clear();
      for (int s : w.path) report.longest_path.emplace_back(story.sections[s].id.view());
    }
    record_end(story, w, report);
  }

  for (int s = 0; s < story.section_count; ++s) {
    if (!w.visited[static_cast<std::size_t>(s)]) {
      report.never_visited.push_back(section_name(story.sections[s]));
    }
  }
  return true;
}

std::string story_walk_format(const Story& story, const WalkReport& report) {
  auto rows = [&](const std::map<std::string, int>& counts) {
    std::string out;
    for (const auto& [name, n] : counts) {
      char lead[48];
      std::snprintf(lead, sizeof lead, "  %5.1f%%  %6d  ",
                    report.walks > 0 ? 100.0 * n / report.walks : 0.0, n);
      out += join({lead, name, "\n"});
    }
    return out;
  };
  std::string out = join({"Recorridos de «", story.title.view(),
                          "»: ", std::to_string(report.walks), "\n\nFinales alcanzados:\n"});
  out += report.endings.empty() ? "  (ninguno)\n" : rows(report.endings);
  out += "\nMuertes:\n";
  out += report.deaths.empty() ? "  (ninguna)\n" : rows(report.deaths);
  if (!report.other_ends.empty())
    out += join({"\nOtras terminaciones:\n", rows(report.other_ends)});
  out += "\nSecciones nunca visitadas:\n";
  if (report.never_visited.empty()) out += "  (ninguna)\n";
  for (const auto& name : report.never_visited) out += join({"  ", name, "\n"});
  out += join({"\nRecorrido más largo: ", std::to_string(report.longest_run), " turnos\n  "});
  // A very long run is shown by its two ends.
  const auto& path = report.longest_path;
  constexpr std::size_t kShown = 20;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path.size() > 2 * kShown && i == kShown) {
      out += " → …";
      i = path.size() - kShown;
    }
    out += join({i ? " → " : "", path[i]});
  }
  out += "\n";
  return out;
}
