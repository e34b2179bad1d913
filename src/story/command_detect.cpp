#include "story/command_detect.h"

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

void detect_command_in_text(FixedText<512>& label, FixedText<256>& command, bool& has_command) {
  using namespace story_text;
  has_command = false;
  command.clear();
  std::string_view text = label.view();

  // An explicit tag names the command and is removed from what the player sees.
  // A tag without its "]" is not retried under the other spelling.
  TagMatch tag = find_tag_either(text, "[Cmd:", "[Comando:");
  if (tag.closed()) {
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
      FixedText<256> quoted;
      assign_cut_trim(quoted, text.substr(tick + 1, tick2 - tick - 1));
      if (is_known_shell_command(first_word(quoted.view(), 63))) {
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
  }
}
