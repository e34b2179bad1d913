// A player at a terminal of its own, for tests of screens and sessions.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "ui/host.h"
#include "ui/text_output.h"

namespace qh_test {

// Lines come from `script` exactly as from a file (a long line is read in
// pieces), screens are kept in memory, and pauses are recorded, never slept.
class ScriptedUi {
 public:
  explicit ScriptedUi(std::string script = "");
  ~ScriptedUi();
  ScriptedUi(const ScriptedUi&) = delete;
  ScriptedUi& operator=(const ScriptedUi&) = delete;

  UiContext& ui() { return ui_; }
  // Everything written since the previous call.
  std::string output();

  std::vector<int> sleeps;  // every pause asked for, in milliseconds

 private:
  std::string script_;
  char* screen_ = nullptr;
  std::size_t screen_size_ = 0;
  std::size_t taken_ = 0;
  UiContext ui_{};
};

// A host for one scripted player: its terminal is a ScriptedUi, its root a
// folder of the test's, no music unless the test lends an AudioState. Everything flows take goes
// through it.
class ScriptedHost {
 public:
  explicit ScriptedHost(std::string script = "", const std::string& root = ".");
  ScriptedHost(const ScriptedHost&) = delete;
  ScriptedHost& operator=(const ScriptedHost&) = delete;

  Host& host() { return host_; }
  UiContext& ui() { return host_.ui; }
  // Everything written since the previous call.
  std::string output() { return player_.output(); }
  const std::vector<int>& sleeps() const { return player_.sleeps; }

 private:
  ScriptedUi player_;
  Host host_{};
};

}  // namespace qh_test
