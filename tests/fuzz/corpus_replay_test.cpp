// Replays each fuzz seed corpus (and any crash inputs added to it) through the property its fuzz
// target checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config_invariants.h"
#include "save_roundtrip.h"
#include "story/option_line.h"
#include "story/story_dump.h"
#include "story_invariants.h"
#include "support/test_support.h"
#include "table_message_invariants.h"

// Settings, saves, titles and table messages hold their properties; every story parses into the
// same record whether the record is fresh, reused or full of garbage (the parse must reset each
// field it leaves unwritten, not rely on zeroed memory); every option line holds the invariants.
TEST(FuzzReplay, EveryCorpusHoldsItsTargetsProperties) {
  auto story = std::make_unique<Story>(), fresh = std::make_unique<Story>();
  auto garbage = std::make_unique<Story>();
  auto title = [&](const std::string& text) { return story_invariants::check_title(text, *story); };
  auto parses = [&](const std::string& text) -> fuzz_check::Failure {
    bool ok = story_parser_load_string(*story, text.c_str(), "Fuzz");
    if (fuzz_check::Failure f = story_invariants::check_parse(*story, ok)) return f;
    std::memset(static_cast<void*>(fresh.get()), 0, sizeof(Story));
    story_parser_load_string(*fresh, text.c_str(), "Fuzz");
    std::memset(static_cast<void*>(garbage.get()), 0xA5, sizeof(Story));
    ok = story_parser_load_string(*garbage, text.c_str(), "Fuzz");
    if (fuzz_check::Failure f = story_invariants::check_parse(*garbage, ok)) return f;
    if (story_test::dump(*fresh) != story_test::dump(*story)) return "a reused record differs";
    if (story_test::dump(*fresh) != story_test::dump(*garbage)) return "a garbage record differs";
    return title(text);
  };
  auto option = [](const std::string& text) {
    StoryTransition t;
    return parse_transition_line(text, t) ? story_invariants::check_transition(t) : nullptr;
  };
  const std::pair<const char*, std::function<fuzz_check::Failure(const std::string&)>> targets[] = {
      {"config", config_invariants::check_round_trip},
      {"save", save_roundtrip::check},
      {"table_message", table_message_invariants::check},
      {"story_title", title},
      {"story", parses},
      {"option", option}};
  // Each file of tests/fuzz/corpus_<name>, in name order so that a reused record sees them in a
  // fixed order.
  for (const auto& [name, check] : targets) {
    std::error_code error;
    std::vector<std::filesystem::path> files(
        std::filesystem::directory_iterator(QH_FUZZ_DIR "/corpus_" + std::string(name), error), {});
    std::sort(files.begin(), files.end());
    EXPECT_FALSE(files.empty()) << name;
    for (const auto& path : files) EXPECT_EQ(check(qh_test::read_file(path)), nullptr) << path;
  }
}
