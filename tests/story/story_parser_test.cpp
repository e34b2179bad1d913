#include "story/story_parser.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "fuzz/story_invariants.h"
#include "story_dump.h"
#include "support/test_support.h"

namespace {

const std::string kMusic = " | music=dungeon/combat/victory\n";
const std::string kFront = "title=Defecto | hp=10 | start=1" + kMusic;

class StoryParser : public story_test::StoryTest {
 protected:
  // The whole parse, with "(false) " in front when no section was read.
  std::string parsed(const std::string& text, const char* default_title = "Defecto") {
    bool ok = story_parser_load_string(story(), text.c_str(), default_title);
    return (ok ? "" : "(false) ") + story_test::dump(story());
  }
  std::string model() { return qh_test::read_file(QH_TEST_DATA_DIR "/workshop_template.md"); }
};

std::string crlf(const std::string& text) {
  return std::regex_replace(text, std::regex("\n"), "\r\n");
}

// {what it shows, story text, record} from a file of "@@ what" blocks, each followed by an "@@="
// block; a blank line separates the cases.
std::vector<std::array<std::string, 3>> read_cases(const std::string& path) {
  const std::string text = qh_test::read_file(path);
  std::vector<std::array<std::string, 3>> out;
  for (std::size_t at = text.find("\n\n@@ "); at != text.npos;) {
    std::size_t body = text.find('\n', at + 5) + 1, mid = text.find("\n@@=\n", body);
    std::size_t next = text.find("\n\n@@ ", mid);
    out.push_back({text.substr(at + 5, body - 1 - (at + 5)), text.substr(body, mid + 1 - body),
                   text.substr(mid + 5, next - mid - 4)});
    at = next;
  }
  return out;
}

std::string reports_of(Story& story, const std::string& text, bool* ok = nullptr) {
  std::string out;
  const StoryDiagnosticSink sink{story_test::append_report, &out};
  bool result = story_parser_load_string(story, text.c_str(), "Defecto", &sink);
  if (ok != nullptr) *ok = result;
  return out;
}

}  // namespace

TEST_F(StoryParser, WorkshopTemplateFieldByFieldAlsoWithCrlf) {
  EXPECT_EQ(parsed(crlf(model())), parsed(model()));
  EXPECT_EQ(story_test::dump(story(), false),
            qh_test::read_file(QH_TEST_DATA_DIR "/story/workshop_template_record.txt"));
}

// Front matter, section headers, tag lines, lore and endings, with either line end. Every case
// reuses the record of the one before, so nothing of an earlier story may show through.
TEST_F(StoryParser, StoryTextsFromTheDataFile) {
  parsed(model());
  const auto cases = read_cases(QH_TEST_DATA_DIR "/story/parser_cases.txt");
  EXPECT_EQ(cases.size(), 13u);
  for (const auto& [what, text, expected] : cases) {
    EXPECT_EQ(parsed(text), expected) << what;
    EXPECT_EQ(parsed(crlf(text)), expected) << what << ", with CRLF line ends";
    EXPECT_EQ(story_invariants::check_parse(story(), story().section_count > 0), nullptr) << what;
  }
}

// Every list at N-1, N and N+1 entries: the last one that fits is kept, the one past the capacity
// is dropped (a dropped header's or option's line goes on to the last section).
TEST_F(StoryParser, ListsAtTheirCapacity) {
  for (int extra : {-1, 0, 1}) {
    auto lines = [extra](int capacity, const std::string& head, const std::string& tail) {
      std::string out;
      for (int i = 0; i < capacity + extra; ++i) out += head + std::to_string(i) + tail + "\n";
      return out;
    };
    const std::string text =
        "---\nitems:\n" + lines(STORY_MAX_ITEMS, "  - i", "") + "stats:\n" +
        lines(STORY_MAX_STATS, "  s", ": 1") + "---\n" + lines(STORY_MAX_LORE, "> [Lore: L", "]") +
        lines(STORY_MAX_SECTIONS, "## s", "") + "tras el último\n" +
        lines(SECTION_MAX_ITEMS, "[Item: c", "]") + lines(SECTION_MAX_TRANSITIONS, "- [-> ", "]");
    ASSERT_TRUE(story_parser_load_string(story(), text.c_str(), "x")) << extra;
    const Story& s = story();
    const int kept = extra > 0 ? 0 : extra;
    const StorySection& last = s.sections[s.section_count - 1];
    auto name = [kept](char head, int n) { return head + std::to_string(n + kept - 1); };
    EXPECT_EQ(s.items[s.item_count - 1].view(), name('i', STORY_MAX_ITEMS));
    EXPECT_EQ(s.stats[s.stat_count - 1].name.view(), name('s', STORY_MAX_STATS));
    EXPECT_EQ(s.lore[s.lore_count - 1].name.view(), name('L', STORY_MAX_LORE));
    EXPECT_EQ(last.id.view(), name('s', STORY_MAX_SECTIONS));
    EXPECT_EQ(last.items[last.item_count - 1].view(), name('c', SECTION_MAX_ITEMS));
    EXPECT_EQ(last.transition_count, SECTION_MAX_TRANSITIONS + kept) << extra;
    EXPECT_EQ(last.text.view(), extra > 0 ? "tras el último\n\n- [-> 32]" : "tras el último");
  }
}

// Stories are shared: their bytes must never drive the terminal. Long lines are cut.
TEST_F(StoryParser, ControlBytesAndLongLines) {
  EXPECT_EQ(parsed("\x01---\ntitle: Ro\x1b[31mjo\x07\n\x7f---\n## [1\x08] Entrada\x1b\n"
                   "Tex\x1b[2Jto\tcon\x0e tab\x1f\n-\x02 [->\x03 2] Ir\x7f\n\x1b\n"
                   "[Fi\x05nal: Derrota]\n"),
            "title=Ro[31mjo | hp=10 | start=1" + kMusic +
                "## [1] Entrada | ending=defeat\n- to=2 | label=Ir\ntext: Tex[2Jto\tcon tab\n");
  parsed("## 1\nfin", "Def\x1b[0mault\x07");
  EXPECT_EQ(story().title.view(), "Def[0mault");
  const std::string a(2047, 'a');  // a body line keeps 2047 bytes; the rest is no new line
  EXPECT_EQ(parsed("## 1\n" + a + "zz\nb\n"), kFront + "## [1] \ntext: " + a + "\n\nb\n");
}

TEST_F(StoryParser, LoadFileTakesRegularFilesUpToTheLimit) {
  qh_test::TempDir dir;
  // The default title is the base name without its extension; a NUL byte ends the text.
  const std::pair<const char*, std::string> titles[] = {
      {".oculto", ""}, {"a\\b\\Ruta.Windows.txt", "title=Ruta.Windows | "}};
  for (const auto& [name, front] : titles) {
    qh_test::write_file(dir.file(name), std::string("## 1\na\0## 2\ndespués\n", 20));
    ASSERT_TRUE(story_parser_load_file(story(), dir.file(name).c_str())) << name;
    EXPECT_EQ(story_test::dump(story()), front + "hp=10 | start=1" + kMusic + "## [1] \ntext: a\n");
  }
  qh_test::write_file(dir.file("vacio.md"), "");
  ASSERT_EQ(mkfifo(dir.file("tubo.md").c_str(), 0600), 0);
  const std::string big = dir.file("enorme.md");  // sparse: one byte over the limit, no disk
  qh_test::write_file(big, "## ok\n");
  ASSERT_EQ(truncate(big.c_str(), static_cast<off_t>(STORY_MAX_FILE_BYTES) + 1), 0);
  for (const std::string& path :
       {dir.file("no.md"), dir.file("vacio.md"), dir.path(), dir.file("tubo.md"), big}) {
    EXPECT_FALSE(story_parser_load_file(story(), path.c_str())) << path;
    EXPECT_EQ(story().title.view(), "Ruta.Windows") << path;  // untouched
  }
}

// A parse told to report fills the very same record: over every story the tests know, with either
// line end. Its reports name lines inside the text, the same with either line end.
TEST_F(StoryParser, ReportingChangesNothingAndCountsLinesEitherWay) {
  std::vector<std::string> texts;
  for (const auto& c : read_cases(QH_TEST_DATA_DIR "/story/parser_cases.txt"))
    texts.push_back(c[1]);
  for (const char* name : qh_test::BUNDLED_STORIES)
    texts.push_back(qh_test::read_file(QH_SOURCE_DIR "/" + std::string(name)));
  for (const char* dir : {QH_TEST_DATA_DIR, QH_SOURCE_DIR "/tests/fuzz"})
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
      if (entry.path().extension() == ".md") texts.push_back(qh_test::read_file(entry.path()));
  EXPECT_GT(texts.size(), 25u);
  auto reported = std::make_unique<Story>();
  for (const std::string& text : texts) {
    const std::string lf_reports = reports_of(*reported, text);
    for (const std::string& variant : {text, crlf(text)}) {
      bool ok = false;
      const std::string reports = reports_of(*reported, variant, &ok);
      EXPECT_EQ(parsed(variant), (ok ? "" : "(false) ") + story_test::dump(*reported));
      EXPECT_EQ(reports, lf_reports);
      const long lines = std::count(variant.begin(), variant.end(), '\n') + 1;
      for (std::size_t at = 0; at < reports.size(); at = reports.find('\n', at) + 1) {
        const long line = std::stol(reports.substr(at));
        EXPECT_TRUE(line >= 1 && line <= lines) << reports.substr(at, reports.find('\n', at) - at);
      }
    }
  }
}

// Each decision at its line: a lone carriage return ends a line too, and the control bytes the
// parser drops do not move the count. A field that just fits is not reported as cut.
TEST_F(StoryParser, ReportsEachDecisionAtItsLine) {
  const auto cases = read_cases(QH_TEST_DATA_DIR "/story/report_cases.txt");
  ASSERT_EQ(cases.size(), 4u);
  for (const auto& [what, text, expected] : cases)
    EXPECT_EQ(reports_of(story(), text), expected) << what;
}
