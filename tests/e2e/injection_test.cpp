// Whole-program runs over a story pack, saves, settings, a guide and model
// replies that carry terminal escape sequences (window title, clipboard,
// terminal reset, cursor moves) and C1 controls: the captured screens may hold
// no escape sequence other than the program's own colours and cursor move.
#include <chrono>
#include <filesystem>
#include <regex>
#include <string>

#include "common/slug.h"
#include "e2e/expected_text.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;
using qh_test::RunResult;

// Window title, icon name and clipboard (OSC 0, 2 and 52, ended by BEL), a full
// reset (ESC c), and cursor moves and erasure (CSI).
const std::string kOsc = "\x1b]0;pwn\x07\x1b]2;title\x07\x1b]52;c;SGVsbG8=\x07";
const std::string kReset = "\x1b\x63";  // ESC c
const std::string kCsi = "\x1b[2J\x1b[5;5H\x1b[3A";
// Every C1 control, U+0080 to U+009F, in UTF-8: CSI is U+009B, OSC U+009D.
std::string all_c1() {
  std::string text;
  for (int c = 0x80; c <= 0x9F; ++c) text += {'\xc2', static_cast<char>(c)};
  return text;
}
const std::string kC1 = all_c1();
const std::string kC1Shown(32, '?');
// For the inside of a story's [tags], where brackets would end the tag.
const std::string kTagHostile = kC1 + kReset;
const std::string kHostile = kOsc + kReset + kCsi + kC1 + "\x7f\x01\x08";

// Every ESC starts one of the program's own sequences; no C1 control, and no C0
// control but line feed, tab, and the carriage return that starts a dice frame.
::testing::AssertionResult only_own_sequences(const std::string& out) {
  static const std::regex kOwn(
      "\x1b\\[(38;5;(39|51|214|226|46|196|244|231)m|1m|0m|5A)|\r(?=\x1b\\[38;5;(244|231)m  ┌)");
  const std::string rest = std::regex_replace(out, kOwn, "");
  for (std::size_t at = 0; at < rest.size(); ++at) {
    auto byte = static_cast<unsigned char>(rest[at]);
    auto next = static_cast<unsigned char>(at + 1 < rest.size() ? rest[at + 1] : 0);
    if ((byte < 0x20 && byte != '\n' && byte != '\t') || byte == 0x7F ||
        (byte == 0xC2 && next >= 0x80 && next <= 0x9F))
      return ::testing::AssertionFailure()
             << "foreign byte " << int{byte} << ", once the program's "
             << "own sequences are taken out, at " << at << ": ..."
             << rest.substr(at < 60 ? 0 : at - 60, 100);
  }
  return ::testing::AssertionSuccess();
}

// A file name that sets the window title, writes the clipboard and resets the terminal.
const std::string kStoryFile = "\x1b]2;pwn\x07\x1b]52;c;SGVsbG8=\x07\x1b\x63 x.md";

// A story, save, settings file or model reply of tests/data/e2e, filled with
// hostile texts (the JSON files hold them \u-escaped too, C1 as raw bytes).
std::string fixture(const std::string& name, qh_test::Fields fields = {}) {
  fields.insert({{"H", kHostile},
                 {"C1", kC1},
                 {"T", kTagHostile},
                 {"OSC", kOsc},
                 {"RESET", kReset},
                 {"CSI", kCsi}});
  return qh_test::from_data("e2e", name, fields);
}

}  // namespace

TEST(Injection, HostilePackSaveSettingsGuideAndModelReachNoScreenRaw) {
  qh_test::TempDir dir;
  auto write = [&](const std::string& name, const std::string& text) {
    qh_test::write_file(dir.file(name), text);
  };
  auto run = [&](const std::string& input) {
    RunResult r =
        qh_test::run_program({.cwd = dir.path(),
                              .input = input,
                              .args = {},
                              .binary = "",
                              .env = {{"PATH", dir.file("bin") + ":" + std::getenv("PATH")}}});
    EXPECT_TRUE(r.exit_code == 0 && r.err.empty()) << r.err;
    EXPECT_TRUE(only_own_sequences(r.out));
    return r.out;
  };
  write("stories/" + kStoryFile, fixture("hostile_story.md"));
  SlugText key;
  make_slug(("stories/" + kStoryFile).c_str(), "", key);
  const std::string slug = key.c_str(),
                    osc = "\\u001b]0;pwn\\u0007\\u001b]2;title\\u0007\\u001b]52;c;SGVsbG8=\\u0007";
  for (const std::string& at : {std::string("2"), "zz" + osc + kC1})  // a section, JSON-escaped
    write("saves/" + std::string(at == "2" ? "autosave_" : "quicksave_") + slug + ".json",
          fixture("hostile_save.json", {{"SLUG", slug}, {"SECTION", at}}));
  // The autosave is the newest, so it is the browser's first row.
  std::error_code ignored;
  std::filesystem::last_write_time(dir.file("saves/quicksave_" + slug + ".json"),
                                   std::filesystem::file_time_type::clock::now() - 24h, ignored);
  // A guide line longer than a read splits a C1 control between two reads.
  write("GUIA_CREACION_HISTORIAS.md", "# Guía" + kHostile + "\n" + std::string(510, 'g') +
                                          "\xc2\x9b\x33\x31m" + kHostile + "\nfin\n");  // CSI 31m
  write("reply", fixture("hostile_reply.json"));
  qh_test::make_executable_script(dir.file("bin/curl"),
                                  "#!/bin/sh\ncat '" + dir.file("reply") + "'\n");

  // Settings taken from a shipped example are shown as safely as the player's own.
  write("config.json.example", fixture("hostile_config.json", {{"WHAT", "ejemplo"}}));
  EXPECT_TRUE(qh_test::shows(run("5\n5\n3\n\n6\n"), "e2e", "hostile_example_settings.txt"));

  write("config.json", fixture("hostile_config.json", {{"WHAT", "broker"}}));
  // Every screen did show the hostile texts, made harmless (and cut where
  // their records end); the story parser drops C0 controls.
  EXPECT_TRUE(qh_test::shows(
      run(  // The hostile save: its row, panel, sheet and backpack; then a quicksave
            // whose section does not exist (its error waits for Enter).
          "2\n1\n/stats\n/inv\n/cargar\n\n"
          // The hostile story under a hostile name, played by a hostile hero: lore,
          // a misspelt command, free text and a check narrated by the model.
          "1\n1\nAna" +
          kOsc + kC1 + "\n/lore reliquia " + kOsc + "\nnmapp -sV" + kCsi + "\nexamino la tumba" +
          kReset +
          "\n1\n/inv\n/salir\nn\n"  // Eva's autosave is kept: Ana's game gets its own
          // The multiplayer, settings (with both edit prompts), vault and guide screens.
          "3\n\n5\n3\n\n\n4\n\n\n5\n4\n2\n\n6\n\n8\n6\n"),
      "e2e", "hostile_screens.txt",
      {{"OSC", "?]0;pwn??]2;title??]52;c;SGVsbG8=?"},
       {"CSI", "?[2J?[5;5H?[3A"},
       {"C1", kC1Shown},
       {"P", "]0;pwn]2;title]52;c;SGVsbG8=c[2J[5;5H[3A"}}));
}
