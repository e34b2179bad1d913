#include "story/story_parser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "common/fixed_list.h"
#include "common/text_util.h"
#include "platform/platform.h"
#include "story/option_line.h"
#include "story/story_diagnostics.h"
#include "story/story_text.h"

namespace {

using namespace story_text;

// Control bytes that never reach the story: a shared story file must not be
// able to move the cursor, change colours or ring the terminal. Tab, line
// feed, vertical tab, form feed and carriage return stay; NUL ends the text.
constexpr bool is_dropped_control(char ch) {
  unsigned char c = static_cast<unsigned char>(ch);
  return (c >= 0x01 && c <= 0x08) || (c >= 0x0E && c <= 0x1F) || c == 0x7F;
}

const char* skip_dropped(const char* p) {
  while (is_dropped_control(*p)) ++p;
  return p;
}

// Matches `literal` against the kept bytes at `p`; the position after it, or
// nullptr when it does not match.
const char* match_kept(const char* p, std::string_view literal) {
  for (char ch : literal) {
    p = skip_dropped(p);
    if (*p != ch) return nullptr;
    ++p;
  }
  return p;
}

// Skips carriage returns and line feeds (and dropped bytes among them).
const char* skip_line_ends(const char* p, const char* stop) {
  while (p != stop && (*p == '\r' || *p == '\n' || is_dropped_control(*p))) ++p;
  return p;
}

// True when one of the eight bytes is below 0x20 or is 0x7F, the only bytes
// that end a line or may need dropping; bytes of 0x80 and above never match.
// Lets the line scan pass over ordinary text eight bytes at a time.
bool has_control_byte(std::uint64_t w) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighs = 0x8080808080808080ull;
  std::uint64_t below_space = (w - kOnes * 0x20) & ~w & kHighs;
  std::uint64_t del = w ^ (kOnes * 0x7F);
  std::uint64_t is_del = (del - kOnes) & ~del & kHighs;
  return (below_space | is_del) != 0;
}

// Reads one line: the kept bytes up to a carriage return, line feed, NUL or
// `stop`, of which only the first `max` count. `p` moves to the line end, so
// the rest of an over-long line is skipped, not read as another line. The
// result points into the text itself unless the line held bytes to drop, in
// which case the kept bytes are gathered in `buf` (at least `max` bytes).
std::string_view read_line(const char*& p, const char* stop, char* buf, std::size_t max) {
  const char* begin = p;
  const char* end = p;
  bool dirty = false;
  while (end != stop) {
    if (stop - end >= 8) {
      std::uint64_t word;
      std::memcpy(&word, end, sizeof word);
      if (!has_control_byte(word)) {
        end += 8;
        continue;
      }
    }
    unsigned char c = static_cast<unsigned char>(*end);
    if (c >= 0x20 && c != 0x7F) {
      ++end;
      continue;
    }
    if (c == '\n' || c == '\r' || c == '\0') break;
    if (c != '\t' && c != '\v' && c != '\f') dirty = true;
    ++end;
  }
  p = end;
  std::size_t length = static_cast<std::size_t>(end - begin);
  if (!dirty) return std::string_view(begin, length < max ? length : max);
  std::size_t n = 0;
  for (const char* q = begin; q != end && n < max; ++q) {
    if (!is_dropped_control(*q)) buf[n++] = *q;
  }
  return std::string_view(buf, n);
}

// Appends to a text whose length the caller keeps, so a body built line by
// line is not measured again for every line. Cuts at the capacity exactly
// like FixedText::append, and like it returns false when anything was cut.
template <std::size_t N>
bool append_counted(FixedText<N>& dst, std::size_t& length, std::string_view text) {
  std::size_t room = N - 1 - length;
  std::size_t n = text.size() < room ? text.size() : room;
  if (n > 0) std::memcpy(dst.data + length, text.data(), n);
  length += n;
  dst.data[length] = '\0';
  return n == text.size();
}

// Copies a terminated text without its dropped control bytes.
template <std::size_t N>
void assign_kept(FixedText<N>& dst, const char* text) {
  std::size_t n = 0;
  for (const char* q = text; *q != '\0' && n < N - 1; ++q) {
    if (!is_dropped_control(*q)) dst.data[n++] = *q;
  }
  dst.data[n] = '\0';
}

// Removes one pair of matching surrounding quotes ("..." or '...').
template <std::size_t N>
void strip_quotes(FixedText<N>& text) {
  std::size_t n = text.size();
  char q = text.data[0];
  if (n >= 2 && (q == '"' || q == '\'') && text.data[n - 1] == q) {
    text.assign(text.view().substr(1, n - 2));
  }
}

// ---- Reports ------------------------------------------------------------

// A parse given a sink: tells it each decision a writer would want to know,
// with its 1-based line, and fills the line map.
class Reporter {
 public:
  static constexpr bool kOn = true;

  Reporter(const StoryDiagnosticSink& sink, const char* text, StoryLineMap& line_map)
      : lines(line_map), sink_(sink), counted_(text) {}

  // Moves to the line that starts at `p`; lines are read front to back, so
  // the line ends before `p` are counted once in all.
  void at(const char* p) {
    for (; counted_ < p; ++counted_) {
      if (*counted_ == '\n' || (*counted_ == '\r' && counted_[1] != '\n')) ++line_;
    }
  }
  int line() const { return line_; }
  const StoryDiagnosticSink& sink() const { return sink_; }

  void report(StoryCode code, const char* format, ...) __attribute__((format(printf, 3, 4))) {
    va_list args;
    va_start(args, format);
    story_report_v(&sink_, line_, code, format, args);
    va_end(args);
  }
  void report_at(int line, StoryCode code, const char* format, ...)
      __attribute__((format(printf, 4, 5))) {
    va_list args;
    va_start(args, format);
    story_report_v(&sink_, line, code, format, args);
    va_end(args);
  }

  // A new section is current: its once-only reports may come again.
  void enter_section(int index) {
    section_index = index;
    lines.section[index] = line_;
    options_full = section_items_full = text_cut = lore_text_cut = false;
  }

  // Lines before the first section that nothing reads are reported as one
  // run, at its first line, when the run ends.
  void outside_line() {
    if (outside_count_++ == 0) outside_first_ = line_;
  }
  void end_outside_run() {
    if (outside_count_ == 1) {
      report_at(outside_first_, StoryCode::fuera_de_seccion,
                "La línea está antes de la primera sección y no es lore: se ignora.");
    } else if (outside_count_ == 2) {
      report_at(outside_first_, StoryCode::fuera_de_seccion,
                "Esta línea y la siguiente están antes de la primera sección y no son lore: se "
                "ignoran.");
    } else if (outside_count_ > 2) {
      report_at(outside_first_, StoryCode::fuera_de_seccion,
                "Esta línea y las %d siguientes están antes de la primera sección y no son "
                "lore: se ignoran.",
                outside_count_ - 1);
    }
    outside_count_ = 0;
  }

  StoryLineMap& lines;
  int section_index = -1;          // the current section, -1 before the first
  bool block_key_unknown = false;  // the front matter's current key was reported unknown
  // A full list is reported once, at the first entry it drops.
  bool items_full = false, stats_full = false, lore_full = false;
  bool options_full = false, section_items_full = false;
  bool text_cut = false, lore_text_cut = false;  // per section, reported once

 private:
  const StoryDiagnosticSink& sink_;
  const char* counted_;
  int line_ = 1;
  int outside_first_ = 0;
  int outside_count_ = 0;
};

// A stored field is a prefix of its trimmed source; anything shorter lost text.
void report_cut(Reporter& rep, const char* what, std::string_view stored, std::string_view source,
                std::size_t capacity) {
  if (stored.size() >= trim_view(source).size()) return;
  char shown[80];
  rep.report(StoryCode::texto_cortado, "%s pasa de %zu bytes y se corta: queda «%s».", what,
             capacity, excerpt(stored, shown));
}

// read_line kept `max` bytes of [begin, end); true when the rest held more
// than blanks and dropped bytes.
bool line_lost_text(const char* begin, const char* end, std::size_t max) {
  if (static_cast<std::size_t>(end - begin) <= max) return false;
  std::size_t kept = 0;
  const char* q = begin;
  for (; q != end && kept < max; ++q) kept += !is_dropped_control(*q);
  for (; q != end; ++q) {
    if (!is_dropped_control(*q) && !is_blank(*q)) return true;
  }
  return false;
}

void report_long_line(Reporter& rep, const char* begin, const char* end, std::size_t max,
                      const char* what) {
  if (line_lost_text(begin, end, max)) {
    rep.report(StoryCode::texto_cortado,
               "%s tiene %zu bytes; solo se leen los primeros %zu y el resto se pierde.", what,
               static_cast<std::size_t>(end - begin), max);
  }
}

// ---- Front matter -------------------------------------------------------

struct FrontMatter {
  const char* opening = nullptr;  // the opening "---", when the text starts with one
  const char* block = nullptr;    // first byte of the block
  const char* end = nullptr;      // the "\n" of the closing "\n---"
  const char* body = nullptr;     // where the body parse starts
};

// The block between an opening "---" (after leading white space) and the
// first "\n---" after it. Without a closing marker there is no front matter
// and the body starts at the very beginning of the text.
FrontMatter find_front_matter(const char* text, const char* text_end) {
  FrontMatter fm;
  fm.body = text;
  const char* p = text;
  for (;; ++p) {
    p = skip_dropped(p);
    if (!is_blank(*p)) break;
  }
  const char* after = match_kept(p, "---");
  if (after == nullptr) return fm;
  fm.opening = p;
  const char* block = skip_line_ends(after, text_end);
  for (const char* nl = std::strchr(block, '\n'); nl != nullptr; nl = std::strchr(nl + 1, '\n')) {
    const char* closing = match_kept(nl + 1, "---");
    if (closing == nullptr) continue;
    fm.block = block;
    fm.end = nl;
    // The closing line may run on with more dashes; blank lines follow.
    const char* q = closing;
    for (;; ++q) {
      q = skip_dropped(q);
      if (*q != '\r' && *q != '\n' && *q != '-') break;
    }
    fm.body = q;
    return fm;
  }
  return fm;
}

constexpr std::string_view kItemsKey = "items";
constexpr std::string_view kStatsKey = "stats";
constexpr std::string_view kMusicKey = "music";

// A top-level key that stores nothing: a block key with a value on its own
// line, or a key the game does not know.
void report_other_key(Reporter& rep, std::string_view key, std::string_view value) {
  char shown[80];
  if (ascii_iequals(key, kItemsKey) || ascii_iequals(key, kStatsKey) ||
      ascii_iequals(key, kMusicKey)) {
    if (!value.empty()) {
      rep.report(StoryCode::cabecera_linea_ignorada,
                 "«%s:» no guarda nada en su propia línea: sus entradas van debajo, con "
                 "sangría.",
                 excerpt(key, shown));
    }
    return;
  }
  rep.block_key_unknown = true;
  rep.report(StoryCode::clave_ignorada, "La clave «%s» de la cabecera no se reconoce y se ignora.",
             excerpt(key, shown));
}

// A top-level "key: value" line (it holds a ':'): the key cut to 63 bytes and
// the value to 255, each then trimmed; the value's quotes are still on.
void split_top_level(std::string_view line, NameText& key,
                     FixedText<STORY_FRONT_MATTER_VALUE_MAX + 1>& value) {
  std::size_t colon = line.find(':');
  assign_cut_trim(key, line.substr(0, colon), NameText::max_length());
  assign_cut_trim(value, line.substr(colon + 1), STORY_FRONT_MATTER_VALUE_MAX);
}

template <typename R>
void apply_top_level(Story& story, std::string_view line, NameText& block_key, R& rep) {
  FixedText<STORY_FRONT_MATTER_VALUE_MAX + 1> value;
  split_top_level(line, block_key, value);
  if constexpr (R::kOn) {
    rep.block_key_unknown = false;
    char shown[80], what[96];
    std::snprintf(what, sizeof what, "El valor de «%s»", excerpt(block_key.view(), shown));
    report_cut(rep, what, value.view(), line.substr(line.find(':') + 1),
               STORY_FRONT_MATTER_VALUE_MAX);
  }
  strip_quotes(value);
  std::string_view key = block_key.view();
  if (ascii_iequals(key, "title")) {
    story.title.assign(value.view());
  } else if (ascii_iequals(key, "author")) {
    story.author.assign(value.view());
    if constexpr (R::kOn)
      report_cut(rep, "El autor", story.author.view(), value.view(),
                 decltype(story.author)::max_length());
  } else if (ascii_iequals(key, "description")) {
    story.description.assign(value.view());
  } else if (ascii_iequals(key, "hp")) {
    story.hp = read_decimal_i32(value.view());
    if constexpr (R::kOn) {
      char shown[80];
      if (!has_number(value.view())) {
        rep.report(StoryCode::valor_no_numerico,
                   "«hp: %s» no es un número: el héroe empezará con %d puntos de vida.",
                   excerpt(value.view(), shown), STORY_DEFAULT_HP);
      }
    }
  } else if (ascii_iequals(key, "start")) {
    story.start.assign(value.view());
    if constexpr (R::kOn) {
      rep.lines.start = rep.line();
      report_cut(rep, "El id de la sección inicial", story.start.view(), value.view(),
                 IdText::max_length());
    }
  } else {
    if constexpr (R::kOn) report_other_key(rep, key, value.view());
  }
}

// An indented front-matter line that no block reads.
void report_block_line(Reporter& rep, std::string_view block_key) {
  char shown[80];
  if (rep.block_key_unknown) return;  // its key was reported already
  if (block_key.empty()) {
    rep.report(StoryCode::cabecera_linea_ignorada,
               "La línea con sangría no está bajo ninguna clave y se ignora.");
  } else if (ascii_iequals(block_key, kItemsKey)) {
    rep.report(StoryCode::cabecera_linea_ignorada,
               "Cada objeto de «items:» empieza por «-»: esta línea se ignora.");
  } else if (ascii_iequals(block_key, kStatsKey) || ascii_iequals(block_key, kMusicKey)) {
    rep.report(StoryCode::cabecera_linea_ignorada, "La entrada de «%s:» no tiene «:» y se ignora.",
               excerpt(block_key, shown));
  } else {
    rep.report(StoryCode::cabecera_linea_ignorada,
               "«%s:» no lleva entradas con sangría: esta línea se ignora.",
               excerpt(block_key, shown));
  }
}

void report_stat(Reporter& rep, std::string_view line, const StatEntry& stat,
                 std::string_view value) {
  char shown[80];
  std::string_view name = stat.name.view();
  if (!name.empty() && (name[0] == '"' || name[0] == '\'')) {
    rep.report(StoryCode::estadistica_entre_comillas,
               "El nombre del atributo %s lleva comillas, que forman parte del nombre: "
               "escríbelo sin ellas.",
               excerpt(name, shown));
  }
  if (!has_number(value)) {
    rep.report(StoryCode::valor_no_numerico, "El atributo «%s» no tiene un valor numérico: vale 0.",
               excerpt(name, shown));
  }
  report_cut(rep, "El nombre del atributo", name, line.substr(0, line.find(':')),
             NameText::max_length());
}

template <typename R>
void apply_block_entry(Story& story, std::string_view line, std::string_view block_key, R& rep) {
  if (ascii_iequals(block_key, kItemsKey) && !line.empty() && line[0] == '-') {
    FixedText<STORY_FRONT_MATTER_LINE_MAX + 1> item;  // as long as the line it comes from
    item.assign(trim_view(line.substr(1)));
    strip_quotes(item);
    if (item.empty()) {
      if constexpr (R::kOn) {
        rep.report(StoryCode::cabecera_linea_ignorada, "El objeto está vacío y se ignora.");
      }
      return;
    }
    if (NameText* slot = list_append(story.items, story.item_count)) {
      slot->assign(item.view());
      if constexpr (R::kOn)
        report_cut(rep, "El objeto inicial", slot->view(), item.view(), NameText::max_length());
    } else if constexpr (R::kOn) {
      if (!std::exchange(rep.items_full, true)) {
        rep.report(StoryCode::descartado,
                   "La historia ya tiene %d objetos iniciales: este y los siguientes se "
                   "descartan.",
                   STORY_MAX_ITEMS);
      }
    }
    return;
  }
  NameText name, value;
  if (ascii_iequals(block_key, kStatsKey)) {
    if (!split_key_value(line, name, value)) {
      if constexpr (R::kOn) report_block_line(rep, block_key);
      return;
    }
    if (StatEntry* stat = list_append(story.stats, story.stat_count)) {
      stat->name.assign(name.view());
      stat->value = read_decimal_i32(value.view());
      if constexpr (R::kOn) report_stat(rep, line, *stat, value.view());
    } else if constexpr (R::kOn) {
      if (!std::exchange(rep.stats_full, true)) {
        rep.report(StoryCode::descartado,
                   "La historia ya tiene %d atributos: este y los siguientes se descartan.",
                   STORY_MAX_STATS);
      }
    }
  } else if (ascii_iequals(block_key, kMusicKey)) {
    if (!split_key_value(line, name, value)) {
      if constexpr (R::kOn) report_block_line(rep, block_key);
      return;
    }
    strip_quotes(value);
    if (ascii_iequals(name.view(), "explore")) {
      story.music_explore.assign(value.view());
      if constexpr (R::kOn) rep.lines.music_explore = rep.line();
    } else if (ascii_iequals(name.view(), "combat")) {
      story.music_combat.assign(value.view());
      if constexpr (R::kOn) rep.lines.music_combat = rep.line();
    } else if (ascii_iequals(name.view(), "victory")) {
      story.music_victory.assign(value.view());
      if constexpr (R::kOn) rep.lines.music_victory = rep.line();
    } else {
      if constexpr (R::kOn) {
        char shown[80];
        rep.report(StoryCode::clave_ignorada,
                   "«%s» no es un momento de «music:» (explore, combat o victory) y se ignora.",
                   excerpt(name.view(), shown));
      }
    }
  } else {
    if constexpr (R::kOn) report_block_line(rep, block_key);
  }
}

template <typename R>
void parse_front_matter(Story& story, const char* p, const char* stop, R& rep) {
  char buf[STORY_FRONT_MATTER_LINE_MAX + 1];
  NameText block_key;
  block_key.clear();
  for (;;) {
    p = skip_line_ends(p, stop);
    if (p == stop || *p == '\0') return;
    [[maybe_unused]] const char* begin = p;
    if constexpr (R::kOn) rep.at(p);
    std::string_view line = read_line(p, stop, buf, STORY_FRONT_MATTER_LINE_MAX);
    if constexpr (R::kOn) {
      report_long_line(rep, begin, p, STORY_FRONT_MATTER_LINE_MAX, "La línea de la cabecera");
    }
    if (line.empty()) continue;
    if (line[0] != ' ' && line[0] != '\t') {
      // Top-level "key: value"; a line without ":" leaves the block key as is.
      if (line.find(':') != npos) {
        apply_top_level(story, line, block_key, rep);
      } else if constexpr (R::kOn) {
        char shown[80];
        rep.report(StoryCode::cabecera_linea_ignorada,
                   "La línea «%s» de la cabecera no tiene «:» ni sangría y se ignora.",
                   excerpt(line, shown));
      }
    } else {
      apply_block_entry(story, trim_view(line), block_key.view(), rep);
    }
  }
}

// ---- Record reset -------------------------------------------------------

// A parse writes only what it reads. The large texts and arrays of a record
// are left as they are and reset by their first byte or their count; every
// other byte is zeroed, whatever the order of the fields, so a field added
// later starts out zero without a change here. A short story then touches
// only the pages it fills, and a full one is not written twice. Bytes after a
// text's terminator and entries past a count are never read.
struct KeptBytes {
  std::size_t offset;
  std::size_t size;
};

template <typename Record, std::size_t K>
void zero_all_but(Record& record, KeptBytes (&kept)[K]) {
  for (std::size_t i = 1; i < K; ++i) {  // by offset; the spans never overlap
    for (std::size_t j = i; j > 0 && kept[j].offset < kept[j - 1].offset; --j) {
      KeptBytes t = kept[j];
      kept[j] = kept[j - 1];
      kept[j - 1] = t;
    }
  }
  auto* bytes = reinterpret_cast<unsigned char*>(&record);
  std::size_t at = 0;
  for (const KeptBytes& k : kept) {
    std::memset(bytes + at, 0, k.offset - at);
    at = k.offset + k.size;
  }
  std::memset(bytes + at, 0, sizeof(Record) - at);
}

#define QH_KEPT(Record, field) \
  KeptBytes { offsetof(Record, field), sizeof(Record::field) }

// A full section takes about 10 KB of text; from a megabyte of text on, a
// story fills most of its record.
constexpr std::size_t kFillingTextBytes = 1024 * 1024;

// The front matter and the counts; sections and lore are reset as appended.
void reset_story(Story& story) {
  KeptBytes kept[] = {QH_KEPT(Story, sections), QH_KEPT(Story, lore)};
  zero_all_but(story, kept);
}

StorySection* append_section(Story& story) {
  if (story.section_count < 0 || story.section_count >= STORY_MAX_SECTIONS) return nullptr;
  StorySection* section = &story.sections[story.section_count++];
  KeptBytes kept[] = {QH_KEPT(StorySection, text), QH_KEPT(StorySection, lore_text),
                      QH_KEPT(StorySection, transitions)};
  zero_all_but(*section, kept);
  section->text.clear();
  section->lore_text.clear();
  return section;  // each option is reset as it is parsed into its slot
}

LoreEntry* append_lore(Story& story) {
  if (story.lore_count < 0 || story.lore_count >= STORY_MAX_LORE) return nullptr;
  LoreEntry* entry = &story.lore[story.lore_count++];
  KeptBytes kept[] = {QH_KEPT(LoreEntry, text)};
  zero_all_but(*entry, kept);
  entry->text.clear();
  return entry;
}

#undef QH_KEPT

// ---- Body ---------------------------------------------------------------

struct BodyState {
  StorySection* section = nullptr;  // the current section, none before the first header
  bool lore_mode = false;           // after a "### Lore" heading
  std::size_t text_length = 0;      // lengths of the current section's texts
  std::size_t lore_length = 0;
};

// A "> [Lore: name] passage" line. Dropped without a "]" or when the lore
// list is full.
template <typename R>
void add_lore(Story& story, std::string_view line, std::string_view section_id,
              std::string_view default_name, R& rep) {
  std::size_t close = line.find(']');
  if (close == npos) {
    if constexpr (R::kOn) {
      rep.report(StoryCode::descartado, "La línea de lore no tiene «]»: se descarta entera.");
    }
    return;
  }
  LoreEntry* entry = append_lore(story);
  if (entry == nullptr) {
    if constexpr (R::kOn) {
      if (!std::exchange(rep.lore_full, true)) {
        rep.report(StoryCode::descartado,
                   "La historia ya tiene %d pasajes de lore: este y los siguientes se "
                   "descartan.",
                   STORY_MAX_LORE);
      }
    }
    return;
  }
  entry->section_id.assign(section_id);
  std::size_t colon = line.find(':');
  if (colon != npos && colon < close) {
    assign_cut_trim(entry->name, line.substr(colon + 1, close - colon - 1));
    if constexpr (R::kOn) {
      report_cut(rep, "El nombre del lore", entry->name.view(),
                 line.substr(colon + 1, close - colon - 1), decltype(entry->name)::max_length());
    }
  } else {
    entry->name.assign(default_name);
  }
  // A body line has at most STORY_BODY_LINE_MAX bytes, so the passage always fits.
  entry->text.assign(trim_view(line.substr(close + 1)));
}

// The parts of a "## [id] title" or "## id title" line, uncut. `closed` is
// false for a "[" without "]", which yields no id.
struct HeaderParts {
  bool closed = false;
  bool bracketed = false;
  std::string_view id;
  std::string_view title;
};

HeaderParts header_parts(std::string_view line) {
  HeaderParts header;
  std::string_view rest = trim_view(line.substr(2));
  if (!rest.empty() && rest[0] == '[') {
    std::size_t close = rest.find(']');
    if (close == npos) return header;
    header.id = rest.substr(1, close - 1);
    header.title = trim_view(rest.substr(close + 1));
    header.bracketed = true;
  } else {
    // A word id stops at the id's capacity and the title takes what follows.
    header.id = first_word(rest, IdText::max_length());
    header.title = trim_view(rest.substr(header.id.size()));
  }
  header.closed = true;
  return header;
}

// "## [id] title" or "## id title". A header without an id, or one past the
// section capacity, is dropped and the current section stays.
void add_section(Story& story, std::string_view line, BodyState& state) {
  HeaderParts header = header_parts(line);
  if (!header.closed) return;
  IdText id;
  assign_cut_trim(id, header.id, IdText::max_length());
  std::string_view title = header.title;
  if (id.empty()) return;
  StorySection* section = append_section(story);
  if (section == nullptr) return;
  section->id.assign(id.view());
  section->title.assign(title);
  state.section = section;
  state.lore_mode = false;
  state.text_length = 0;
  state.lore_length = 0;
}

// What add_section did with a header line, told after the fact: `before` is
// the section count it started from.
void report_header(const Story& story, std::string_view line, std::int32_t before, Reporter& rep) {
  char shown[80];
  HeaderParts header = header_parts(line);
  if (!header.closed) {
    rep.report(StoryCode::cabecera_descartada,
               "El encabezado abre «[» sin cerrarlo con «]»: no crea sección y sus líneas "
               "siguen en la anterior.");
    return;
  }
  IdText id;
  assign_cut_trim(id, header.id, IdText::max_length());
  if (id.empty()) {
    rep.report(StoryCode::cabecera_descartada,
               "El encabezado no tiene id: no crea sección y sus líneas siguen en la anterior.");
    return;
  }
  if (story.section_count == before) {
    rep.report(StoryCode::descartado,
               "Sección «%s» descartada: una historia admite %d secciones; sus líneas se añaden "
               "a la última.",
               excerpt(id.view(), shown), STORY_MAX_SECTIONS);
    return;
  }
  const int index = story.section_count - 1;
  const StorySection& section = story.sections[index];
  rep.enter_section(index);
  if (header.bracketed) {
    report_cut(rep, "El id de la sección", id.view(), header.id, IdText::max_length());
  } else if (header.id.size() == IdText::max_length() &&
             header.title.data() == header.id.data() + IdText::max_length()) {
    // The word went on past the id's capacity: its rest begins the title.
    rep.report(StoryCode::texto_cortado,
               "El id «%s» pasa de %zu bytes y se corta; el resto de la palabra pasa al título.",
               excerpt(id.view(), shown), IdText::max_length());
  }
  report_cut(rep, "El título de la sección", section.title.view(), header.title,
             decltype(section.title)::max_length());
  const StorySection* first = story_get_section(story, id.view());
  if (first != &section) {
    rep.report(StoryCode::id_duplicado,
               "La sección «%s» repite el id de la línea %d: solo la primera es alcanzable.",
               excerpt(id.view(), shown), rep.lines.section[first - story.sections]);
  }
}

// A "##" line that is no header: "##" alone, or "##" without its space.
void report_header_typo(Reporter& rep, std::string_view line) {
  char shown[80];
  if (line.size() == 2) {
    rep.report(StoryCode::cabecera_descartada, "La línea «##» no tiene id: no crea sección.");
  } else {
    rep.report(StoryCode::cabecera_descartada, "Falta un espacio tras «##»: «%s» no crea sección.",
               excerpt(line, shown));
  }
}

// The text between the first ":" and the first "]" of a tag, cut to `limit`
// and trimmed; false when no ":" comes before a "]".
template <std::size_t N>
bool tag_value(std::string_view tag, FixedText<N>& out, std::size_t limit) {
  std::size_t colon = tag.find(':');
  std::size_t close = tag.find(']');
  if (colon == npos || close == npos || colon > close) return false;
  assign_cut_trim(out, tag.substr(colon + 1, close - colon - 1), limit);
  return true;
}

enum class TagKind : std::uint8_t { art, music, item, damage, ending };

struct TagName {
  std::string_view prefix;
  TagKind kind;
};

// The tags of a section line, matched at its start exactly as written.
constexpr TagName kTagNames[] = {
    {"[Art:", TagKind::art},        {"[Arte:", TagKind::art},     {"[Cinematica:", TagKind::art},
    {"[Cinemática:", TagKind::art}, {"[Musica:", TagKind::music}, {"[Música:", TagKind::music},
    {"[Obtener:", TagKind::item},   {"[Item:", TagKind::item},    {"[Daño:", TagKind::damage},
    {"[Dañar:", TagKind::damage},   {"[Final:", TagKind::ending}, {"[Fin:", TagKind::ending},
};

// A value tag (art, music, item) that was read into `stored`, or not.
void report_tag_value(Reporter& rep, std::string_view tag, bool read, std::string_view stored,
                      std::size_t capacity) {
  char shown[80];
  std::size_t colon = tag.find(':');
  if (!read) {
    rep.report(StoryCode::etiqueta_mal_formada,
               "La etiqueta «%s» no se cierra con «]»: la línea desaparece sin guardar nada.",
               excerpt(tag, shown));
    return;
  }
  if (stored.empty()) {
    rep.report(StoryCode::etiqueta_mal_formada, "La etiqueta «%s]» no tiene valor.",
               excerpt(tag.substr(0, colon + 1), shown));
    return;
  }
  std::size_t close = tag.find(']');
  report_cut(rep, "El valor de la etiqueta", stored, tag.substr(colon + 1, close - colon - 1),
             capacity);
}

// A bracketed line that is no tag stays as text; tells the writer when it
// looks like a tag that was meant.
void report_not_a_tag(Reporter& rep, std::string_view tag, std::string_view line) {
  char shown[80];
  if (starts_with(line, "> [Lore") || option_line_has_tag(tag)) return;  // read by later rules
  for (const TagName& t : kTagNames) {
    std::string_view word = t.prefix.substr(1, t.prefix.size() - 2);  // "[Final:" gives "Final"
    if (tag.size() <= word.size() + 1 || tag.substr(1, word.size()) != word) continue;
    char next = tag[word.size() + 1];
    if (next != ']' && !is_blank(next)) continue;
    rep.report(StoryCode::etiqueta_sin_dos_puntos,
               "La etiqueta «[%s» no lleva «:» tras su nombre: se muestra como texto y no tiene "
               "efecto.",
               excerpt(word, shown));
    return;
  }
  // "[Name: ...": one word, then the colon, before any "]".
  std::size_t colon = tag.find(':');
  std::size_t close = tag.find(']');
  if (colon == npos || colon < 2 || (close != npos && close < colon)) return;
  std::string_view name = tag.substr(1, colon - 1);
  for (char c : name) {
    if (is_blank(c) || c == '[') return;
  }
  if (name == "Lore") {
    rep.report(StoryCode::etiqueta_desconocida,
               "Un pasaje de lore se escribe «> [Lore: nombre] texto»: sin «> » delante, esta "
               "línea se muestra como texto.");
  } else {
    rep.report(StoryCode::etiqueta_desconocida,
               "La etiqueta «[%s:» no existe: la línea se muestra como texto.",
               excerpt(name, shown));
  }
}

// Applies a tag line ("[Musica: combat]", "> [Final: Victoria]"...) to the
// section. False when the line is not a tag; a tag line is consumed even
// when it stores nothing.
template <typename R>
bool apply_tag(StorySection& section, std::string_view line, R& rep) {
  std::string_view tag = line;
  if (tag.size() >= 2 && tag[0] == '>' && tag[1] == ' ') tag = trim_view(tag.substr(2));
  if (tag.empty() || tag[0] != '[') return false;

  const TagName* name = nullptr;
  for (const TagName& t : kTagNames) {
    if (starts_with(tag, t.prefix)) {
      name = &t;
      break;
    }
  }
  if (name == nullptr) {
    if constexpr (R::kOn) report_not_a_tag(rep, tag, line);
    return false;
  }
  switch (name->kind) {
    case TagKind::art: {
      decltype(StorySection::art) art;
      bool read = tag_value(tag, art, art.max_length());
      if (read) section.art.assign(art.view());
      if constexpr (R::kOn) report_tag_value(rep, tag, read, art.view(), art.max_length());
      break;
    }
    case TagKind::music: {
      decltype(StorySection::music) music;
      bool read = tag_value(tag, music, music.max_length());
      if (read) section.music.assign(music.view());
      if constexpr (R::kOn) {
        if (read) rep.lines.section_music[rep.section_index] = rep.line();
        report_tag_value(rep, tag, read, music.view(), music.max_length());
      }
      break;
    }
    case TagKind::item: {
      NameText item;
      bool read = tag_value(tag, item, NameText::max_length());
      if (read) {
        if (NameText* slot = list_append(section.items, section.item_count)) {
          slot->assign(item.view());
        } else if constexpr (R::kOn) {
          if (!std::exchange(rep.section_items_full, true)) {
            char shown[80];
            rep.report(StoryCode::descartado,
                       "La sección «%s» ya entrega %d objetos: este y los siguientes se "
                       "descartan.",
                       excerpt(section.id.view(), shown), SECTION_MAX_ITEMS);
          }
        }
      }
      if constexpr (R::kOn) report_tag_value(rep, tag, read, item.view(), NameText::max_length());
      break;
    }
    case TagKind::damage: {
      std::string_view amount = tag.substr(tag.find(':') + 1);
      section.damage = read_decimal_i32(amount);
      if constexpr (R::kOn) {
        char shown[80];
        if (!has_number(amount)) {
          rep.report(StoryCode::valor_no_numerico, "«%s» no es un número: el daño vale 0.",
                     excerpt(tag, shown));
        }
      }
      break;
    }
    case TagKind::ending: {
      char lower[64];
      text_copy(lower, sizeof lower, tag);
      ascii_lower_in_place(lower);
      section.is_ending = true;
      if (std::strstr(lower, "vic") != nullptr) {
        section.ending_type.assign("victory");
      } else if (std::strstr(lower, "derro") != nullptr || std::strstr(lower, "muer") != nullptr) {
        section.ending_type.assign("defeat");
      } else {
        section.ending_type.assign("neutral");
      }
      break;
    }
  }
  return true;
}

// An option line is parsed straight into the section's next free slot.
template <typename R>
bool parse_option(std::string_view line, StoryTransition& out, R& rep) {
  if constexpr (R::kOn) {
    return parse_transition_line(line, out, rep.sink(), rep.line());
  } else {
    return parse_transition_line(line, out);
  }
}

// A bullet line past the section's 32 options: an option dropped, or a line
// that would not have been one anyway.
void report_option_past_capacity(Reporter& rep, const StorySection& section,
                                 std::string_view line) {
  StoryTransition scratch;
  if (!parse_transition_line(line, scratch)) {
    parse_transition_line(line, scratch, rep.sink(), rep.line());  // reports why
  } else if (!std::exchange(rep.options_full, true)) {
    char shown[80];
    rep.report(StoryCode::descartado,
               "La sección «%s» ya tiene %d opciones: esta y las siguientes se muestran como "
               "texto.",
               excerpt(section.id.view(), shown), SECTION_MAX_TRANSITIONS);
  }
}

template <typename R>
void parse_body_line(Story& story, std::string_view line, BodyState& state, R& rep) {
  if (state.section == nullptr && starts_with(line, "> [Lore")) {
    if constexpr (R::kOn) rep.end_outside_run();
    add_lore(story, line, "0", story.title.view(), rep);
    return;
  }
  if (starts_with(line, "## ")) {
    [[maybe_unused]] const std::int32_t before = story.section_count;
    add_section(story, line, state);
    if constexpr (R::kOn) {
      rep.end_outside_run();
      report_header(story, line, before, rep);
    }
    return;
  }
  if constexpr (R::kOn) {
    bool typo = starts_with(line, "##") && (line.size() == 2 || line[2] != '#');
    if (typo) report_header_typo(rep, line);
    if (state.section == nullptr && !typo) rep.outside_line();
  }
  if (state.section == nullptr) return;
  StorySection& section = *state.section;

  if (apply_tag(section, line, rep)) return;
  if (starts_with(line, "### Lore") || starts_with(line, "### Historia")) {
    state.lore_mode = true;
    return;
  }
  if (starts_with(line, "> [Lore")) {
    add_lore(story, line, section.id.view(), section.title.view(), rep);
    return;
  }
  bool bullet = line[0] == '-' || line[0] == '*';
  if constexpr (R::kOn) {
    if (!bullet && option_line_has_tag(line)) {
      rep.report(StoryCode::opcion_rechazada,
                 "La línea lleva una etiqueta de opción pero no empieza por «-» o «*»: se "
                 "muestra como texto.");
    }
  }
  if (state.lore_mode && !bullet) {
    bool fits = true;
    if (state.lore_length > 0) fits = append_counted(section.lore_text, state.lore_length, " ");
    fits = append_counted(section.lore_text, state.lore_length, line) && fits;
    if constexpr (R::kOn) {
      if (!fits && !std::exchange(rep.lore_text_cut, true)) {
        char shown[80];
        rep.report(StoryCode::texto_cortado,
                   "El bloque de lore de la sección «%s» llega al máximo de %zu bytes: lo que "
                   "sigue desde esta línea se pierde.",
                   excerpt(section.id.view(), shown), section.lore_text.max_length());
      }
    }
    return;
  }
  // An option is parsed straight into the next free slot, which counts only
  // when the line is accepted; a rejected bullet line stays body text.
  if (bullet && section.transition_count < SECTION_MAX_TRANSITIONS &&
      parse_option(line, section.transitions[section.transition_count], rep)) {
    if constexpr (R::kOn) {
      rep.lines.option[rep.section_index][section.transition_count] = rep.line();
    }
    ++section.transition_count;
    state.lore_mode = false;
    return;
  }
  if constexpr (R::kOn) {
    if (bullet && section.transition_count >= SECTION_MAX_TRANSITIONS) {
      report_option_past_capacity(rep, section, line);
    }
  }
  bool fits = true;
  if (state.text_length > 0) fits = append_counted(section.text, state.text_length, "\n\n");
  fits = append_counted(section.text, state.text_length, line) && fits;
  state.lore_mode = false;
  if constexpr (R::kOn) {
    if (!fits && !std::exchange(rep.text_cut, true)) {
      char shown[80];
      rep.report(StoryCode::texto_cortado,
                 "El texto de la sección «%s» llega al máximo de %zu bytes: lo que sigue desde "
                 "esta línea se pierde.",
                 excerpt(section.id.view(), shown), section.text.max_length());
    }
  }
}

// Sections without options that are not already endings become endings when
// their opening text reads like one; defeat wording wins over victory.
template <typename R>
void detect_endings_by_wording(Story& story, R& rep) {
  static constexpr const char* kDefeat[] = {"has muerto", "caes sobre", "fin de tu viaje"};
  static constexpr const char* kVictory[] = {"victoria", "has vencido", "escapas"};
  for (StorySection& section : list_used(story.sections, story.section_count)) {
    if (section.transition_count != 0 || section.is_ending) continue;
    char lower[1024];
    text_copy(lower, sizeof lower, section.text.view());
    ascii_lower_in_place(lower);
    const char* type = nullptr;
    const char* found = nullptr;
    for (const char* w : kDefeat) {
      if (type == nullptr && std::strstr(lower, w) != nullptr) {
        type = "defeat";
        found = w;
      }
    }
    for (const char* w : kVictory) {
      if (type == nullptr && std::strstr(lower, w) != nullptr) {
        type = "victory";
        found = w;
      }
    }
    if (type != nullptr) {
      section.is_ending = true;
      section.ending_type.assign(type);
      if constexpr (R::kOn) {
        char shown[80];
        rep.report_at(rep.lines.section[&section - story.sections], StoryCode::final_por_texto,
                      "La sección «%s» no tiene opciones y es un final de %s porque su texto "
                      "dice «%s».",
                      excerpt(section.id.view(), shown), type[0] == 'd' ? "derrota" : "victoria",
                      found);
      }
    }
  }
}

// Reads a whole regular file of 1..STORY_MAX_FILE_BYTES bytes into a new
// terminated buffer of `*capacity` bytes (platform_free_large releases it). A
// FIFO or a device named by mistake is refused without hanging the program.
char* read_story_file(const char* path, std::size_t* capacity) {
  struct stat st;
  int fd = platform_open_regular(path, O_RDONLY, &st);
  if (fd < 0) return nullptr;
  if (st.st_size <= 0 || static_cast<unsigned long long>(st.st_size) > STORY_MAX_FILE_BYTES) {
    ::close(fd);
    return nullptr;
  }
  std::size_t size = static_cast<std::size_t>(st.st_size);
  *capacity = size + 1;
  char* buffer = static_cast<char*>(platform_alloc_large(*capacity));
  if (buffer == nullptr) {
    ::close(fd);
    return nullptr;
  }
  platform_advise_fill(buffer, *capacity);
  std::size_t used = 0;
  while (used < size) {
    ssize_t got = ::read(fd, buffer + used, size - used);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ::close(fd);
      platform_free_large(buffer, *capacity);
      return nullptr;
    }
    if (got == 0) break;  // the file shrank meanwhile: parse what was there
    used += static_cast<std::size_t>(got);
  }
  ::close(fd);
  if (used == 0) {  // emptied since the size was taken: nothing to parse
    platform_free_large(buffer, *capacity);
    return nullptr;
  }
  buffer[used] = '\0';
  return buffer;
}

}  // namespace

namespace {

template <typename R>
bool parse_story(Story& story, const char* text, const char* default_title, R& rep) {
  const char* text_end = text + std::strlen(text);
  if (static_cast<std::size_t>(text_end - text) >= kFillingTextBytes) {
    platform_advise_fill(&story, sizeof story);
  }
  reset_story(story);
  if (default_title != nullptr) assign_kept(story.title, default_title);
  story.hp = STORY_DEFAULT_HP;
  story.start.assign("1");
  story.music_explore.assign("dungeon");
  story.music_combat.assign("combat");
  story.music_victory.assign("victory");

  FrontMatter fm = find_front_matter(text, text_end);
  if constexpr (R::kOn) {
    if (fm.opening != nullptr && fm.block == nullptr) {
      rep.at(fm.opening);
      rep.report(StoryCode::cabecera_sin_cierre,
                 "La cabecera empieza con «---» pero no tiene una línea «---» de cierre: se lee "
                 "todo como cuerpo y se pierden título, atributos y objetos.");
    }
  }
  if (fm.block != nullptr) parse_front_matter(story, fm.block, fm.end, rep);
  if (story.title.empty() && default_title != nullptr) assign_kept(story.title, default_title);

  char buf[STORY_BODY_LINE_MAX + 1];
  BodyState state;
  const char* p = fm.body;
  for (;;) {
    p = skip_line_ends(p, text_end);
    if (p == text_end) break;
    [[maybe_unused]] const char* begin = p;
    if constexpr (R::kOn) rep.at(p);
    std::string_view line = trim_view(read_line(p, text_end, buf, STORY_BODY_LINE_MAX));
    if constexpr (R::kOn) report_long_line(rep, begin, p, STORY_BODY_LINE_MAX, "La línea");
    if (!line.empty()) parse_body_line(story, line, state, rep);
  }
  if constexpr (R::kOn) rep.end_outside_run();

  detect_endings_by_wording(story, rep);
  return story.section_count > 0;
}

bool parse_reporting(Story& story, const char* text, const char* default_title,
                     const StoryDiagnosticSink& sink) {
  StoryLineMap own;
  StoryLineMap& lines = sink.lines != nullptr ? *sink.lines : own;
  std::memset(static_cast<void*>(&lines), 0, sizeof lines);
  Reporter rep(sink, text, lines);
  return parse_story(story, text, default_title, rep);
}

}  // namespace

bool story_parser_load_string(Story& story, const char* text, const char* default_title,
                              const StoryDiagnosticSink* sink) {
  if (text == nullptr) return false;
  if (sink != nullptr) return parse_reporting(story, text, default_title, *sink);
  Quiet quiet;
  return parse_story(story, text, default_title, quiet);
}

bool story_parser_load_file(Story& story, const char* path, const StoryDiagnosticSink* sink) {
  if (path == nullptr) return false;
  std::size_t capacity = 0;
  char* text = read_story_file(path, &capacity);
  if (text == nullptr) return false;
  char title[128];
  story_parser_default_title(path, title);
  bool ok = story_parser_load_string(story, text, title, sink);
  platform_free_large(text, capacity);
  return ok;
}

void story_parser_default_title(const char* path, char (&out)[128]) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  text_copy(out, sizeof out, base);
  if (char* dot = std::strrchr(out, '.')) *dot = '\0';
}

bool story_parser_read_title(const char* text, decltype(Story::title)& title) {
  title.clear();
  if (text == nullptr) return false;
  FrontMatter fm = find_front_matter(text, text + std::strlen(text));
  if (fm.block == nullptr) return false;
  // The lines parse_front_matter reads, as it reads them; only top-level
  // title keys count, and the last one wins as it does there.
  char buf[STORY_FRONT_MATTER_LINE_MAX + 1];
  NameText key;
  FixedText<STORY_FRONT_MATTER_VALUE_MAX + 1> value;
  for (const char* p = fm.block;;) {
    p = skip_line_ends(p, fm.end);
    if (p == fm.end || *p == '\0') return true;
    std::string_view line = read_line(p, fm.end, buf, STORY_FRONT_MATTER_LINE_MAX);
    if (line.empty() || line[0] == ' ' || line[0] == '\t' || line.find(':') == npos) continue;
    split_top_level(line, key, value);
    if (!ascii_iequals(key.view(), "title")) continue;
    strip_quotes(value);
    title.assign(value.view());
  }
}

const StorySection* story_get_section(const Story& story, std::string_view id) {
  for (const StorySection& section : list_used(story.sections, story.section_count)) {
    if (section.id.view() == id) return &section;
  }
  return nullptr;
}
