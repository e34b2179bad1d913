// Helpers shared by the unit and end-to-end tests.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace qh_test {

// The stories the game ships with, relative to the source folder. Tests name
// them, never whatever else is in stories/: a player's own story must not
// change what the tests expect.
inline constexpr const char* BUNDLED_STORIES[] = {"stories/intrusion_en_neon.md",
                                                  "stories/la_cripta_del_rey_ceniza.md"};

// A fresh folder under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

void write_file(const std::string& path, std::string_view content);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
void make_executable_script(const std::string& path, std::string_view content);

struct RunOptions {
  std::string cwd;                         // working folder of the program
  std::string input;                       // scripted standard input
  std::vector<std::string> args;           // extra arguments (none for the game)
  std::string binary;                      // defaults to the game binary
  std::map<std::string, std::string> env;  // overrides; PATH included
  // The game's dice are fixed with QUILLHAVEN_SEED=1 (unless `env` names a
  // seed), so runs are reproducible; false runs with the variable unset.
  bool fixed_seed = true;
  int timeout_ms = 20000;  // the process group is killed after this
  // Largest file the program may write, in bytes (0: no limit). Its output
  // then reaches the files through a pipe, so the limit never cuts it.
  long file_size_limit = 0;
};

struct RunResult {
  int exit_code = -1;  // -1 when killed or not started
  bool timed_out = false;
  std::string out;
  std::string err;
};

// Runs the binary with its output in files (no pipes to deadlock) and a deadline.
RunResult run_program(const RunOptions& options);

// A working folder for the game with a config.json that keeps tests quiet and
// fast (offline narrator, music off, typing speed 0).
void write_quiet_config(const std::string& dir);
// Copies a file into a folder (creating the folder).
void copy_file(const std::string& from, const std::string& to);

// Each fragment must appear after the previous one.
::testing::AssertionResult contains_in_order(const std::string& text,
                                             std::initializer_list<std::string_view> fragments);
::testing::AssertionResult lacks(const std::string& text, std::string_view fragment);

}  // namespace qh_test
