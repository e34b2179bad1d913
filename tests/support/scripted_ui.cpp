#include "support/scripted_ui.h"

#include <cstdio>
#include <cstdlib>

namespace qh_test {

ScriptedUi::ScriptedUi(std::string script) : script_(std::move(script)) {
  // An empty memory stream cannot be opened everywhere; no stream is an ended input too.
  ui_.in = script_.empty() ? nullptr : fmemopen(script_.data(), script_.size(), "r");
  ui_.out = open_memstream(&screen_, &screen_size_);
  ui_.sleep = [](std::int32_t ms, void* self) {
    static_cast<ScriptedUi*>(self)->sleeps.push_back(ms);
  };
  ui_.user = this;
}

ScriptedUi::~ScriptedUi() {
  if (ui_.in != nullptr) std::fclose(ui_.in);
  if (ui_.out != nullptr) std::fclose(ui_.out);
  std::free(screen_);
}

std::string ScriptedUi::output() {
  if (ui_.out == nullptr) return {};
  std::fflush(ui_.out);
  if (screen_ == nullptr || screen_size_ <= taken_) return {};
  std::string text(screen_ + taken_, screen_size_ - taken_);
  taken_ = screen_size_;
  return text;
}

ScriptedHost::ScriptedHost(std::string script, const std::string& root)
    : player_(std::move(script)) {
  host_.ui = player_.ui();
  host_.root.assign(root);
}

}  // namespace qh_test
