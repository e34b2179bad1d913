#include "story/option_line.h"

#include <cstdio>
#include <cstring>

#include "common/text_util.h"
#include "story/command_detect.h"
#include "story/story_text.h"

namespace {

using namespace story_text;

// The working copy of one option line: at most 1023 bytes, terminated.
struct WorkLine {
  char data[1024];
  std::size_t length = 0;

  void set(std::string_view text) {
    length = text.size() < sizeof data - 1 ? text.size() : sizeof data - 1;
    std::memcpy(data, text.data(), length);
    data[length] = '\0';
  }
  std::string_view view() const { return std::string_view(data, length); }
  // Cuts [from, to) out and trims what is left.
  void cut(std::size_t from, std::size_t to) { length = cut_out_and_trim(data, length, from, to); }
};

// Calls `field` with every non-empty part of `inside` between "|" and "]",
// trimmed.
template <typename Fn>
void for_each_field(std::string_view inside, Fn&& field) {
  std::size_t start = 0;
  for (std::size_t i = 0; i <= inside.size(); ++i) {
    if (i < inside.size() && inside[i] != '|' && inside[i] != ']') continue;
    if (i > start) field(trim_view(inside.substr(start, i - start)));
    start = i + 1;
  }
}

void parse_check(std::string_view inside, StoryTransition& out) {
  for_each_field(inside, [&out](std::string_view field) {
    NameText key, value;
    if (!split_key_value(field, key, value)) {
      if (out.check_stat.empty()) out.check_stat.assign(field);
      return;
    }
    std::string_view k = key.view();
    if (k.empty()) {
      out.check_stat.assign(value.view());
    } else if (ascii_iequals(k, "DC")) {
      out.check_dc = read_decimal_i32(value.view());
    } else if (ascii_iequals(k, "Exito") || ascii_iequals(k, "Éxito")) {
      out.target.assign(value.view());
    } else if (ascii_iequals(k, "Fallo")) {
      out.fail_target.assign(value.view());
    } else if (ascii_iequals(k, "DañoFallo") || ascii_iequals(k, "DanoFallo")) {
      out.fail_damage = read_decimal_i32(value.view());
    }
  });
}

void parse_requirement(std::string_view inside, StoryTransition& out) {
  for_each_field(inside, [&out](std::string_view field) {
    NameText key, value;
    if (!split_key_value(field, key, value)) {
      if (out.required_item.empty()) out.required_item.assign(field);
      return;
    }
    if (key.empty()) {
      out.required_item.assign(value.view());
    } else if (ascii_iequals(key.view(), "Destino")) {
      out.target.assign(value.view());
    }
  });
}

// Fills `out` from the working line by the first option form that matches.
bool parse_forms(WorkLine& work, StoryTransition& out) {
  std::string_view line = work.view();

  // Skill check: the tag text counts up to 255 bytes, the rest of an
  // over-long tag is not read as fields (but is still cut out).
  if (TagMatch check = find_tag(line, "[Check:"); check.closed()) {
    std::string_view tag = line.substr(check.open, check.close - check.open + 1).substr(0, 255);
    parse_check(tag.substr(std::strlen("[Check:")), out);
    work.cut(check.open, check.close + 1);
    out.label.assign(work.view());
    if (out.label.empty()) {
      std::snprintf(out.label.raw(), out.label.capacity(), "Probar %s (Dificultad %d)",
                    out.check_stat.c_str(), out.check_dc);
    }
    return true;
  }

  if (TagMatch req = find_tag(line, "[Requiere:"); req.closed()) {
    parse_requirement(req.inner, out);
    work.cut(req.open, req.close + 1);
    out.label.assign(work.view());
    if (out.label.empty()) {
      std::snprintf(out.label.raw(), out.label.capacity(), "Usar %s", out.required_item.c_str());
    }
    return true;
  }

  if (TagMatch arrow = find_tag(line, "[->"); arrow.closed()) {
    assign_cut_trim(out.target, arrow.inner, 31);
    work.cut(arrow.open, arrow.close + 1);
    out.label.assign(work.view());
    TagMatch pick = find_tag_either(out.label.view(), "[Obtener:", "[Tomar:");
    if (pick.closed()) {
      assign_cut_trim(out.gain_item, pick.inner, 63);
      cut_out_and_trim(out.label, pick.open, pick.close + 1);
    }
    return true;
  }

  // Any short bracketed text at the start names the destination.
  if (!line.empty() && line[0] == '[') {
    std::size_t close = line.find(']');
    if (close != npos && close >= 2 && close - 1 <= 31) {
      out.target.assign(trim_view(line.substr(1, close - 1)));
      out.label.assign(trim_view(line.substr(close + 1)));
      return true;
    }
  }
  return false;
}

}  // namespace

bool parse_transition_line(std::string_view line, StoryTransition& out) {
  std::memset(static_cast<void*>(&out), 0, sizeof out);

  // The working copy: the first 1023 bytes (a NUL ends the line earlier),
  // trimmed, without one leading "-" or "*", trimmed again.
  std::string_view text = line.substr(0, 1023);
  text = trim_view(text.substr(0, text.find('\0')));
  if (!text.empty() && (text[0] == '-' || text[0] == '*')) text = trim_view(text.substr(1));
  WorkLine work;
  work.set(text);

  TagMatch hidden = find_tag_either(work.view(), "[CmdOculto:", "[HiddenCmd:");
  if (hidden.closed()) {
    assign_cut_trim(out.command, hidden.inner);
    out.is_hidden = true;
    out.has_command = true;
    work.cut(hidden.open, hidden.close + 1);
  }

  if (!parse_forms(work, out)) return false;
  if (!out.is_hidden) detect_command_in_text(out.label, out.command, out.has_command);
  return true;
}
