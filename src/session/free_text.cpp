// Lines typed as actions: terminal commands of console scenes, near misses of
// them, and free text that names an option or is narrated without effect.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/fixed_list.h"
#include "common/text_util.h"
#include "session/session.h"
#include "session/session_internal.h"
#include "ui/dice_view.h"
#include "ui/text_output.h"

namespace {

constexpr std::size_t kWordMax = 63;         // first words are compared up to this length
constexpr std::size_t kDistanceWordMax = 64; // words are cut to this before measuring
constexpr int kNearMissLimit = 3;            // a distance below this earns a hint

using CleanText = FixedText<SESSION_LINE_CAPACITY>;
using Word = FixedText<kWordMax + 1>;

void clean(CleanText& out, std::string_view text) {
  // The source may not be terminated where the view ends: copy it first.
  CleanText raw;
  raw.assign(text);
  str_clean_spaces(out.raw(), raw.c_str(), out.capacity());
}


// The first space-delimited word of a normalised text.
void first_word(Word& out, std::string_view text) {
  std::size_t end = text.find(' ');
  out.assign(text.substr(0, end));
}

// A normalised line without its prompt marker and shell sigils: what the player typed as a command.
std::string_view command_text(std::string_view cleaned) {
  if (starts_with(cleaned, ">_")) cleaned.remove_prefix(2);
  while (!cleaned.empty() && (cleaned[0] == '#' || cleaned[0] == '$' || cleaned[0] == ' ')) {
    cleaned.remove_prefix(1);
  }
  return cleaned;
}

// The text a command option expects: its command, or its label, read the way a
// typed line is. A story may write "$ sudo reboot"; the player's "$" is dropped
// from what was typed, so it must be dropped from what is expected too.
void expected_text(CleanText& out, const StoryTransition& t) {
  CleanText cleaned;
  clean(cleaned, t.command.empty() ? t.label.view() : t.command.view());
  out.assign(command_text(cleaned.view()));
}

// Stage 1: the exact command of an option, or a hidden command by its first word plus a marker.
const StoryTransition* exact_command(const StorySection& section, std::string_view typed) {
  if (typed.empty()) return nullptr;
  Word typed_first;
  first_word(typed_first, typed);
  bool has_marker = typed.find("token_backup") != std::string_view::npos ||
                    typed.find("-d") != std::string_view::npos;
  for (const StoryTransition& t : list_used(section.transitions, section.transition_count)) {
    if (!t.has_command) continue;
    CleanText expected;
    expected_text(expected, t);
    if (typed == expected.view()) return &t;
    if (!t.is_hidden || !has_marker) continue;
    Word expected_first;
    first_word(expected_first, expected.view());
    if (!expected_first.empty() && expected_first == typed_first.view()) return &t;
  }
  return nullptr;
}

// Stage 2: a visible command whose first word matches, or is within two edits of, the typed one.
const StoryTransition* near_miss(const StorySection& section, std::string_view typed) {
  if (typed.empty()) return nullptr;
  Word typed_first;
  first_word(typed_first, typed);
  int best = 999;
  const StoryTransition* candidate = nullptr;
  for (const StoryTransition& t : list_used(section.transitions, section.transition_count)) {
    if (!t.has_command || t.is_hidden) continue;
    CleanText expected;
    expected_text(expected, t);
    Word expected_first;
    first_word(expected_first, expected.view());
    if (typed_first == expected_first.view()) return &t;
    int distance = session_levenshtein(typed_first.c_str(), expected_first.c_str());
    // Strictly better only: on a tie the earlier option keeps the hint.
    if (distance < kNearMissLimit && distance < best) {
      best = distance;
      candidate = &t;
    }
  }
  return candidate;
}

void narrate_without_effect(SessionState& s, const StorySection& section, const char* line) {
  LoreHit hit;
  bool found = rag_query(s.lore, line, &hit, 1) > 0;
  const char* result = found ? "Investigación del entorno."
                             : "Acción no resolutiva; observas o intentas interactuar sin "
                               "cambiar de lugar.";
  char narration[SESSION_NARRATION_CAPACITY];
  narration[0] = '\0';
  llm_narrate_action(&s.totals, s.config, &s.hero, &section, line, nullptr, result,
                     found ? &hit : nullptr, narration, sizeof narration, &s.counters);
  ui_print_dm_narration(narration, s.config->offline_mode, &s.counters);
}

}  // namespace

void str_clean_spaces(char* dst, const char* src, std::size_t capacity) {
  if (dst == nullptr || capacity == 0) return;
  dst[0] = '\0';
  if (src == nullptr) return;
  while (*src != '\0' && is_blank(*src)) ++src;
  std::size_t n = 0;
  for (const char* p = src; *p != '\0' && n + 1 < capacity; ++p) {
    if (is_blank(*p)) {
      if (dst[n - 1] != ' ') dst[n++] = ' ';  // n > 0: leading blanks were skipped
    } else {
      dst[n++] = ascii_lower(*p);
    }
  }
  if (n > 0 && dst[n - 1] == ' ') --n;
  dst[n] = '\0';
}

const StoryTransition* find_free_action_match(const StorySection& section, const char* line) {
  CleanText wanted;
  str_clean_spaces(wanted.raw(), line, wanted.capacity());
  if (wanted.empty()) return nullptr;
  for (const StoryTransition& t : list_used(section.transitions, section.transition_count)) {
    if (t.has_command || t.is_hidden) continue;
    CleanText label;
    clean(label, t.label.view());
    if (label.view().find(wanted.view()) != std::string_view::npos) return &t;
    if (t.check_stat.empty()) continue;
    FixedText<64> stat;
    str_clean_spaces(stat.raw(), t.check_stat.c_str(), stat.capacity());
    // An empty needle would match any line; a stat name that cleans to nothing names nothing.
    if (!stat.empty() && wanted.view().find(stat.view()) != std::string_view::npos) return &t;
  }
  return nullptr;
}

int session_levenshtein(const char* a, const char* b) {
  std::size_t la = ::strnlen(a, kDistanceWordMax);
  std::size_t lb = ::strnlen(b, kDistanceWordMax);
  int row[kDistanceWordMax + 1];
  for (std::size_t j = 0; j <= lb; ++j) row[j] = static_cast<int>(j);
  for (std::size_t i = 1; i <= la; ++i) {
    int diagonal = row[0];
    row[0] = static_cast<int>(i);
    for (std::size_t j = 1; j <= lb; ++j) {
      int above = row[j];
      int cost = ascii_lower(a[i - 1]) == ascii_lower(b[j - 1]) ? 0 : 1;
      int best = diagonal + cost;
      if (above + 1 < best) best = above + 1;
      if (row[j - 1] + 1 < best) best = row[j - 1] + 1;
      row[j] = best;
      diagonal = above;
    }
  }
  return row[lb];
}

void session_run_free_text(SessionState& s, const StorySection& section, const char* line) {
  CleanText cleaned;
  str_clean_spaces(cleaned.raw(), line, cleaned.capacity());
  std::string_view typed = command_text(cleaned.view());
  bool has_options = section.transition_count > 0;

  if (has_options) {
    if (const StoryTransition* chosen = exact_command(section, typed)) {
      if (chosen->is_hidden) {
        ui_print_message("🔓 ¡Comando de terminal oculto descubierto con éxito!", "success");
      }
      session_take_option(s, section, *chosen, line);
      return;
    }
    if (const StoryTransition* hinted = near_miss(section, typed)) {
      session_message("error", 256, "❌ Comando mal escrito o incompleto: '%s'", line);
      session_message("warning", 512, "💡 Sintaxis correcta en esta terminal:\n   >_ %s",
                      hinted->command.empty() ? hinted->label.c_str() : hinted->command.c_str());
      return;
    }
  }

  if (const StoryTransition* named = find_free_action_match(section, line)) {
    session_take_option(s, section, *named, line);
    return;
  }
  narrate_without_effect(s, section, line);
}
