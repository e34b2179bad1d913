#include "story/command_detect.h"

#include <cstring>

#include "common/text_util.h"
#include "story/story_text.h"

const std::array<const char*, KNOWN_SHELL_COMMAND_COUNT> KNOWN_SHELL_COMMANDS = {
    "nmap",  "ls",       "cat",     "grep",    "chmod",  "sed",    "awk",    "kill",
    "pkill", "iptables", "ssh",     "openssl", "curl",   "wget",   "docker", "find",
    "ping",  "arp",      "netstat", "python3", "python", "tar",    "shred",  "rm",
    "cd",    "sudo",     "top",     "base64",  "nc",     "netcat", "telnet", "ps",
    "df",    "whoami",   "uname",   "echo",    "dmesg",
};

bool is_known_shell_command(std::string_view word) {
  // The words as views, measured once: every option label is checked.
  static const auto kWords = [] {
    std::array<std::string_view, KNOWN_SHELL_COMMAND_COUNT> words;
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = KNOWN_SHELL_COMMANDS[i];
    return words;
  }();
  if (word.empty()) return false;
  char first = ascii_lower(word[0]);
  for (std::string_view known : kWords) {
    if (known[0] == first && ascii_iequals(word, known)) return true;
  }
  return false;
}

namespace {

// A label that reads like a sentence rather than a command line: a capital
// first letter, a byte outside ASCII, or three or more plain words without
// any flag, path, operator or number.
bool reads_like_prose(std::string_view label, std::string_view bare_word) {
  if (!bare_word.empty() && bare_word[0] >= 'A' && bare_word[0] <= 'Z') return true;
  bool shell_like = false;
  int words = 0;
  bool in_word = false;
  for (char c : label) {
    if (static_cast<unsigned char>(c) >= 0x80) return true;
    shell_like = shell_like || std::strchr("-/.=|>$<~*0123456789", c) != nullptr;
    if (!is_blank(c) && !in_word) ++words;
    in_word = !is_blank(c);
  }
  return words >= 3 && !shell_like;
}

void report_command_cut(const story_text::LineReports& r, std::string_view text) {
  if (story_text::cut_loses_text(text, 255)) {
    story_report(r.sink, r.line, StoryCode::texto_cortado,
                 "El comando de terminal tiene %zu bytes; solo se guardan los primeros 255.",
                 text.size());
  }
}

template <typename R>
void detect(FixedText<512>& label, FixedText<256>& command, bool& has_command, const R& r) {
  using namespace story_text;
  has_command = false;
  command.clear();
  std::string_view text = label.view();

  // An explicit tag names the command and is removed from what the player sees.
  // A tag without its "]" is not retried under the other spelling.
  TagMatch tag = find_tag_either(text, "[Cmd:", "[Comando:");
  if (tag.closed()) {
    if constexpr (R::kOn) report_command_cut(r, tag.inner);
    assign_cut_trim(command, tag.inner);
    has_command = true;
    cut_out_and_trim(label, tag.open, tag.close + 1);
    return;
  }

  // A command quoted between backticks counts only when it starts with a
  // known command word; the label keeps its backticks.
  std::size_t tick = text.find('`');
  if (tick != npos) {
    std::size_t tick2 = text.find('`', tick + 1);
    if (tick2 != npos) {
      std::string_view inside = text.substr(tick + 1, tick2 - tick - 1);
      FixedText<256> quoted;
      assign_cut_trim(quoted, inside);
      if (is_known_shell_command(first_word(quoted.view(), 63))) {
        if constexpr (R::kOn) report_command_cut(r, inside);
        command.assign(quoted.view());
        has_command = true;
        return;
      }
    }
  }

  // A label whose own first word is a command word (quotes, backticks and an
  // opening parenthesis around it do not matter) is typed as a whole.
  std::string_view word = first_word(text, 63);
  char bare[64];
  std::size_t n = 0;
  for (char c : word) {
    if (c == '"' || c == '\'' || c == '(' || c == '`') continue;
    bare[n++] = c;
  }
  if (is_known_shell_command(std::string_view(bare, n))) {
    command.assign(text);
    has_command = true;
    if constexpr (R::kOn) {
      if (reads_like_prose(text, std::string_view(bare, n))) {
        char shown[80];
        story_report(r.sink, r.line, StoryCode::comando_por_palabra,
                     "La opción «%s» se convirtió en comando de terminal solo porque su primera "
                     "palabra es un comando: no se podrá elegir por número.",
                     story_text::excerpt(label.view(), shown));
      }
    }
    if constexpr (R::kOn) report_command_cut(r, text);
  }
}

}  // namespace

void detect_command_in_text(FixedText<512>& label, FixedText<256>& command, bool& has_command) {
  detect(label, command, has_command, story_text::Quiet{});
}

void detect_command_in_text(FixedText<512>& label, FixedText<256>& command, bool& has_command,
                            const StoryDiagnosticSink& sink, int line) {
  detect(label, command, has_command, story_text::LineReports{&sink, line});
}
