// A player at a terminal of its own, for tests of screens and sessions.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

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

}  // namespace qh_test
