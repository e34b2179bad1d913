// Lines typed as actions: terminal commands of console scenes, near misses of
// them, and free text that names an option or is narrated without effect.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/fixed_list.h"
#include "common/text_util.h"
#include "rules/option_rules.h"
#include "session/session.h"
#include "session/session_internal.h"
#include "ui/text_output.h"

namespace {

constexpr std::size_t kWordMax = 63;          // first words are compared up to this length
constexpr std::size_t kDistanceWordMax = 64;  // words are cut to this before measuring
constexpr int kNearMissLimit = 3;             // a distance below this earns a hint

using Word = FixedText<kWordMax + 1>;

// The first space-delimited word of a normalised text.
void first_word(Word& out, std::string_view text) {
  std::size_t end = text.find(' ');
  out.assign(text.substr(0, end));
}

// Stage 2: a visible command whose first word matches, or is within two edits of, the typed one.
const StoryTransition* near_miss(const StorySection& section, std::string_view typed) {
  if (typed.empty()) return nullptr;
  Word typed_first;
  first_word(typed_first, typed);
  int best = 999;
  const StoryTransition* candidate = nullptr;
  for (const StoryTransition& t : list_used(section.transitions, section.transition_count)) {
    if (rules_option_access(t) != OptionAccess::kCommand) continue;
    OptionLineText expected;
    rules_option_expected(t, expected);
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
  bool found = rag_query(s.lore, line, &hit, 1, &s.lore_visible) > 0;
  const char* result = found ? "Investigación del entorno."
                             : "Acción no resolutiva; observas o intentas interactuar sin "
                               "cambiar de lugar.";
  session_narrate(s, section, line, nullptr, result, found ? &hit : nullptr);
}

}  // namespace

void str_clean_spaces(char* dst, const char* src, std::size_t capacity) {
  rules_option_clean(dst, capacity, src != nullptr ? std::string_view(src) : std::string_view());
}

const StoryTransition* find_free_action_match(const StorySection& section, const char* line) {
  OptionLineText wanted;
  str_clean_spaces(wanted.raw(), line, wanted.capacity());
  if (wanted.empty()) return nullptr;
  // Free text names only the options a number would: never a command, hidden or not.
  for (const StoryTransition& t : list_used(section.transitions, section.transition_count)) {
    if (!rules_option_is_numbered(t)) continue;
    OptionLineText label;
    rules_option_clean(label, t.label.view());
    if (label.view().find(wanted.view()) != std::string_view::npos) return &t;
    if (t.check_stat.empty()) continue;
    OptionLineText stat;
    rules_option_clean(stat, t.check_stat.view());
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
  OptionLineText cleaned;
  str_clean_spaces(cleaned.raw(), line, cleaned.capacity());
  std::string_view typed = rules_option_command_text(cleaned.view());
  bool has_options = section.transition_count > 0;

  if (has_options) {
    if (const StoryTransition* chosen = rules_option_find_command(section, typed)) {
      if (chosen->is_hidden) {
        session_say(s, "🔓 ¡Comando de terminal oculto descubierto con éxito!", "success");
      }
      session_take_option(s, section, *chosen, line);
      return;
    }
    if (const StoryTransition* hinted = near_miss(section, typed)) {
      session_message(s, "error", 256, "❌ Comando mal escrito o incompleto: '%s'", line);
      // The hint shows the command as the story writes it.
      std::string_view shown = rules_option_command_or_label(*hinted);
      session_message(s, "warning", 512, "💡 Sintaxis correcta en esta terminal:\n   >_ %.*s",
                      static_cast<int>(shown.size()), shown.data());
      return;
    }
  }

  if (const StoryTransition* named = find_free_action_match(section, line)) {
    session_take_option(s, section, *named, line);
    return;
  }
  narrate_without_effect(s, section, line);
}
