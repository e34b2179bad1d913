#include "story/story_parser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/fixed_list.h"
#include "common/text_util.h"
#include "platform/platform.h"
#include "story/option_line.h"
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
// like FixedText::append.
template <std::size_t N>
void append_counted(FixedText<N>& dst, std::size_t& length, std::string_view text) {
  std::size_t room = N - 1 - length;
  std::size_t n = text.size() < room ? text.size() : room;
  if (n > 0) std::memcpy(dst.data + length, text.data(), n);
  length += n;
  dst.data[length] = '\0';
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

// ---- Front matter -------------------------------------------------------

struct FrontMatter {
  const char* block = nullptr;  // first byte of the block
  const char* end = nullptr;    // the "\n" of the closing "\n---"
  const char* body = nullptr;   // where the body parse starts
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

void apply_top_level(Story& story, std::string_view line, NameText& block_key) {
  std::size_t colon = line.find(':');
  assign_cut_trim(block_key, line.substr(0, colon), 63);
  FixedText<256> value;
  assign_cut_trim(value, line.substr(colon + 1), 255);
  strip_quotes(value);
  std::string_view key = block_key.view();
  if (ascii_iequals(key, "title")) {
    story.title.assign(value.view());
  } else if (ascii_iequals(key, "author")) {
    story.author.assign(value.view());
  } else if (ascii_iequals(key, "description")) {
    story.description.assign(value.view());
  } else if (ascii_iequals(key, "hp")) {
    story.hp = read_decimal_i32(value.view());
  } else if (ascii_iequals(key, "start")) {
    story.start.assign(value.view());
  }
}

void apply_block_entry(Story& story, std::string_view line, std::string_view block_key) {
  if (ascii_iequals(block_key, "items") && !line.empty() && line[0] == '-') {
    FixedText<1024> item;  // a front-matter line is at most 511 bytes
    item.assign(trim_view(line.substr(1)));
    strip_quotes(item);
    if (item.empty()) return;
    if (NameText* slot = list_append(story.items, story.item_count)) slot->assign(item.view());
    return;
  }
  NameText name, value;
  if (ascii_iequals(block_key, "stats")) {
    if (!split_key_value(line, name, value)) return;
    if (StatEntry* stat = list_append(story.stats, story.stat_count)) {
      stat->name.assign(name.view());
      stat->value = read_decimal_i32(value.view());
    }
  } else if (ascii_iequals(block_key, "music")) {
    if (!split_key_value(line, name, value)) return;
    strip_quotes(value);
    if (ascii_iequals(name.view(), "explore")) {
      story.music_explore.assign(value.view());
    } else if (ascii_iequals(name.view(), "combat")) {
      story.music_combat.assign(value.view());
    } else if (ascii_iequals(name.view(), "victory")) {
      story.music_victory.assign(value.view());
    }
  }
}

void parse_front_matter(Story& story, const char* p, const char* stop) {
  char buf[512];
  NameText block_key;
  block_key.clear();
  for (;;) {
    p = skip_line_ends(p, stop);
    if (p == stop || *p == '\0') return;
    std::string_view line = read_line(p, stop, buf, 511);
    if (line.empty()) continue;
    if (line[0] != ' ' && line[0] != '\t') {
      // Top-level "key: value"; a line without ":" leaves the block key as is.
      if (line.find(':') != npos) apply_top_level(story, line, block_key);
    } else {
      apply_block_entry(story, trim_view(line), block_key.view());
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

#define QH_KEPT(Record, field) KeptBytes{offsetof(Record, field), sizeof(Record::field)}

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
void add_lore(Story& story, std::string_view line, std::string_view section_id,
              std::string_view default_name) {
  std::size_t close = line.find(']');
  if (close == npos) return;
  LoreEntry* entry = append_lore(story);
  if (entry == nullptr) return;
  entry->section_id.assign(section_id);
  std::size_t colon = line.find(':');
  if (colon != npos && colon < close) {
    assign_cut_trim(entry->name, line.substr(colon + 1, close - colon - 1));
  } else {
    entry->name.assign(default_name);
  }
  entry->text.assign(trim_view(line.substr(close + 1)));
}

// "## [id] title" or "## id title". A header without an id, or one past the
// section capacity, is dropped and the current section stays.
void add_section(Story& story, std::string_view line, BodyState& state) {
  std::string_view rest = trim_view(line.substr(2));
  IdText id;
  std::string_view title;
  if (!rest.empty() && rest[0] == '[') {
    std::size_t close = rest.find(']');
    if (close == npos) return;
    assign_cut_trim(id, rest.substr(1, close - 1), 31);
    title = trim_view(rest.substr(close + 1));
  } else {
    std::string_view word = first_word(rest, 31);
    id.assign(word);
    title = trim_view(rest.substr(word.size()));
  }
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

// Applies a tag line ("[Musica: combat]", "> [Final: Victoria]"...) to the
// section. False when the line is not a tag; a tag line is consumed even
// when it stores nothing.
bool apply_tag(StorySection& section, std::string_view line) {
  std::string_view tag = line;
  if (tag.size() >= 2 && tag[0] == '>' && tag[1] == ' ') tag = trim_view(tag.substr(2));
  if (tag.empty() || tag[0] != '[') return false;

  if (starts_with(tag, "[Art:") || starts_with(tag, "[Arte:") || starts_with(tag, "[Cinematica:") ||
      starts_with(tag, "[Cinemática:")) {
    FixedText<128> art;
    if (tag_value(tag, art, 127)) section.art.assign(art.view());
    return true;
  }
  if (starts_with(tag, "[Musica:") || starts_with(tag, "[Música:")) {
    FixedText<64> music;
    if (tag_value(tag, music, 63)) section.music.assign(music.view());
    return true;
  }
  if (starts_with(tag, "[Obtener:") || starts_with(tag, "[Item:")) {
    NameText item;
    if (tag_value(tag, item, 63)) {
      if (NameText* slot = list_append(section.items, section.item_count))
        slot->assign(item.view());
    }
    return true;
  }
  if (starts_with(tag, "[Daño:") || starts_with(tag, "[Dañar:")) {
    section.damage = read_decimal_i32(tag.substr(tag.find(':') + 1));
    return true;
  }
  if (starts_with(tag, "[Final:") || starts_with(tag, "[Fin:")) {
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
    return true;
  }
  return false;
}

void parse_body_line(Story& story, std::string_view line, BodyState& state) {
  if (state.section == nullptr && starts_with(line, "> [Lore")) {
    add_lore(story, line, "0", story.title.view());
    return;
  }
  if (starts_with(line, "## ")) {
    add_section(story, line, state);
    return;
  }
  if (state.section == nullptr) return;
  StorySection& section = *state.section;

  if (apply_tag(section, line)) return;
  if (starts_with(line, "### Lore") || starts_with(line, "### Historia")) {
    state.lore_mode = true;
    return;
  }
  if (starts_with(line, "> [Lore")) {
    add_lore(story, line, section.id.view(), section.title.view());
    return;
  }
  bool bullet = line[0] == '-' || line[0] == '*';
  if (state.lore_mode && !bullet) {
    if (state.lore_length > 0) append_counted(section.lore_text, state.lore_length, " ");
    append_counted(section.lore_text, state.lore_length, line);
    return;
  }
  // An option is parsed straight into the next free slot, which counts only
  // when the line is accepted; a rejected bullet line stays body text.
  if (bullet && section.transition_count < SECTION_MAX_TRANSITIONS &&
      parse_transition_line(line, section.transitions[section.transition_count])) {
    ++section.transition_count;
    state.lore_mode = false;
    return;
  }
  if (state.text_length > 0) append_counted(section.text, state.text_length, "\n\n");
  append_counted(section.text, state.text_length, line);
  state.lore_mode = false;
}

// Sections without options that are not already endings become endings when
// their opening text reads like one; defeat wording wins over victory.
void detect_endings_by_wording(Story& story) {
  static constexpr const char* kDefeat[] = {"has muerto", "caes sobre", "fin de tu viaje"};
  static constexpr const char* kVictory[] = {"victoria", "has vencido", "escapas"};
  for (StorySection& section : list_used(story.sections, story.section_count)) {
    if (section.transition_count != 0 || section.is_ending) continue;
    char lower[1024];
    text_copy(lower, sizeof lower, section.text.view());
    ascii_lower_in_place(lower);
    const char* type = nullptr;
    for (const char* w : kDefeat) {
      if (type == nullptr && std::strstr(lower, w) != nullptr) type = "defeat";
    }
    for (const char* w : kVictory) {
      if (type == nullptr && std::strstr(lower, w) != nullptr) type = "victory";
    }
    if (type != nullptr) {
      section.is_ending = true;
      section.ending_type.assign(type);
    }
  }
}

// The file's base name (after the last "/" or "\"), cut to 127 bytes, then
// cut at its last full stop.
void default_title_from_path(const char* path, char (&out)[128]) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  text_copy(out, sizeof out, base);
  if (char* dot = std::strrchr(out, '.')) *dot = '\0';
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

bool story_parser_load_string(Story& story, const char* text, const char* default_title) {
  if (text == nullptr) return false;

  const char* text_end = text + std::strlen(text);
  if (static_cast<std::size_t>(text_end - text) >= kFillingTextBytes) {
    platform_advise_fill(&story, sizeof story);
  }
  reset_story(story);
  if (default_title != nullptr) assign_kept(story.title, default_title);
  story.hp = 10;
  story.start.assign("1");
  story.music_explore.assign("dungeon");
  story.music_combat.assign("combat");
  story.music_victory.assign("victory");

  FrontMatter fm = find_front_matter(text, text_end);
  if (fm.block != nullptr) parse_front_matter(story, fm.block, fm.end);
  if (story.title.empty() && default_title != nullptr) assign_kept(story.title, default_title);

  char buf[2048];
  BodyState state;
  const char* p = fm.body;
  for (;;) {
    p = skip_line_ends(p, text_end);
    if (p == text_end) break;
    std::string_view line = trim_view(read_line(p, text_end, buf, 2047));
    if (!line.empty()) parse_body_line(story, line, state);
  }

  detect_endings_by_wording(story);
  return story.section_count > 0;
}

bool story_parser_load_file(Story& story, const char* path) {
  if (path == nullptr) return false;
  std::size_t capacity = 0;
  char* text = read_story_file(path, &capacity);
  if (text == nullptr) return false;
  char title[128];
  default_title_from_path(path, title);
  bool ok = story_parser_load_string(story, text, title);
  platform_free_large(text, capacity);
  return ok;
}

const StorySection* story_get_section(const Story& story, std::string_view id) {
  for (const StorySection& section : list_used(story.sections, story.section_count)) {
    if (section.id.view() == id) return &section;
  }
  return nullptr;
}
