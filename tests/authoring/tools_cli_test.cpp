#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "story/story_parser.h"
#include "support/test_support.h"

using qh_test::contains_in_order;
using qh_test::RunOptions;
using qh_test::RunResult;
using qh_test::TempDir;

namespace {

RunResult tools(const std::string& cwd, std::vector<std::string> args, int timeout_ms = 120000) {
  RunOptions options;
  options.binary = QH_TOOLS_BINARY;
  options.cwd = cwd;
  options.args = std::move(args);
  options.timeout_ms = timeout_ms;
  return qh_test::run_program(options);
}

// Writes the workshop's template story by driving the real game binary.
std::string write_template_story(const TempDir& dir) {
  qh_test::write_quiet_config(dir.path());
  RunOptions options;
  options.cwd = dir.path();
  options.input = "4\n1\n1\nLa Cripta del Rey\nAna\n\n8\n6\n";
  RunResult r = qh_test::run_program(options);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  return dir.file("stories/la_cripta_del_rey.md");
}

}  // namespace

// A story whose option leads nowhere: a walk that takes it stops there and is
// counted, and both the walk and the analysis end with status 1.
TEST(ToolsCli, ABrokenLinkFailsTheWalkAndTheAnalysis) {
  TempDir dir;
  qh_test::write_file(dir.file("roto.md"),
                      "## [1] Inicio\n- [-> 2] Ir al final\n- [-> nada] Perderse\n\n"
                      "## [2] Final\n[Final: Victoria]\nFin.\n");
  RunResult walk = tools(dir.path(), {"play", "roto.md", "--walk", "40", "--seed", "3"});
  EXPECT_EQ(walk.exit_code, 1) << walk.out << walk.err;
  EXPECT_TRUE(
      contains_in_order(walk.out, {"Otras terminaciones:", "sección inexistente tras [1] Inicio"}));
  RunResult analysis = tools(dir.path(), {"analyze", "roto.md"});
  EXPECT_EQ(analysis.exit_code, 1) << analysis.out << analysis.err;
  qh_test::write_file(dir.file("sano.md"),
                      "## [1] Inicio\n- [-> 2] Ir\n\n## [2] Final\n[Final: Victoria]\nFin.\n");
  EXPECT_EQ(tools(dir.path(), {"play", "sano.md", "--walk", "5"}).exit_code, 0);
  EXPECT_EQ(tools(dir.path(), {"analyze", "sano.md"}).exit_code, 0);
}

TEST(ToolsCli, ExitStatusTellsCleanProblemsAndUnreadable) {
  TempDir dir;
  std::string story = write_template_story(dir);
  ASSERT_TRUE(qh_test::file_exists(story));

  RunResult clean = tools(dir.path(), {"check", story});
  EXPECT_EQ(clean.exit_code, 0) << clean.out << clean.err;
  EXPECT_EQ(clean.out, story + ": sin problemas.\n");

  qh_test::write_file(dir.file("roto.md"), "## [1] Inicio\n- [-> 2] Ir\n");
  RunResult broken = tools(dir.path(), {"check", story, "roto.md"});
  EXPECT_EQ(broken.exit_code, 1);
  EXPECT_TRUE(contains_in_order(broken.out, {"roto.md:2: El destino «2» de la opción «Ir» no es "
                                             "ninguna sección. [destino-inexistente]"}));

  RunResult json = tools(dir.path(), {"check", "--json", "roto.md"});
  EXPECT_EQ(json.exit_code, 1);
  EXPECT_TRUE(contains_in_order(json.out, {"[\n", "\"file\": \"roto.md\"", "\"line\": 2",
                                           "\"code\": \"destino-inexistente\"", "]\n"}));

  std::filesystem::create_directory(dir.file("carpeta.md"));
  RunResult unreadable = tools(dir.path(), {"check", "roto.md", "falta.md", "carpeta.md"});
  EXPECT_EQ(unreadable.exit_code, 2);
  EXPECT_TRUE(contains_in_order(unreadable.err, {"falta.md: no se puede leer el archivo.",
                                                 "carpeta.md: no se puede leer el archivo."}));

  for (const char* command : {"check", "map", "play"}) {
    RunResult help = tools(dir.path(), {command, "--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find(std::string("Uso: quillhaven-tools ") + command), std::string::npos);
  }
  EXPECT_EQ(tools(dir.path(), {}).exit_code, 2);
  EXPECT_EQ(tools(dir.path(), {"play", story, "--walk", "0"}).exit_code, 2);

  // A map cut short by the file-size limit is reported, not taken for a success.
  RunOptions limited;
  limited.binary = "/bin/sh";
  limited.cwd = dir.path();
  limited.args = {"-c", "exec \"$0\" map \"$1\" > mapa.dot", QH_TOOLS_BINARY, story};
  limited.file_size_limit = 100;
  RunResult cut = qh_test::run_program(limited);
  EXPECT_EQ(cut.exit_code, 2);
  EXPECT_EQ(cut.err, "No se pudo escribir la salida completa.\n");
}

TEST(ToolsCli, MapOfTheTemplateRendersWithGraphviz) {
  if (!qh_test::file_exists("/usr/bin/dot")) GTEST_SKIP() << "Graphviz is not installed";
  TempDir dir;
  std::string story = write_template_story(dir);
  RunResult map = tools(dir.path(), {"map", story});
  ASSERT_EQ(map.exit_code, 0) << map.err;
  EXPECT_TRUE(contains_in_order(map.out, {"digraph historia {", "[1] La Escalera Hundida",
                                          "[3] El Nido de las Arañas\\n⚠ peligro: -1 PV",
                                          "[5] El Alba sobre la Abadía\", shape=doubleoctagon",
                                          "style=dashed", "🔒 Llave de Hueso", "}\n"}));
  RunOptions dot;
  dot.binary = "/usr/bin/dot";
  dot.args = {"-Tsvg"};
  dot.input = map.out;
  dot.cwd = dir.path();
  RunResult svg = qh_test::run_program(dot);
  EXPECT_EQ(svg.exit_code, 0) << svg.err;
  EXPECT_EQ(svg.err, "");
  EXPECT_NE(svg.out.find("<svg"), std::string::npos);
}

TEST(ToolsCli, WalksReachEveryEndingAndRepeatWithTheSameSeed) {
  Story* story = static_cast<Story*>(std::calloc(1, sizeof(Story)));
  ASSERT_NE(story, nullptr);
  // Every story is walked three times (seeds 7, 7 and 8), all at once: each run
  // is a process of its own in a scratch folder of its own.
  std::vector<std::string> paths;
  for (const char* name : qh_test::BUNDLED_STORIES)
    paths.push_back(QH_SOURCE_DIR "/" + std::string(name));
  std::vector<std::future<RunResult>> runs;
  for (const std::string& path : paths) {
    for (const char* seed : {"7", "7", "8"}) {
      runs.push_back(std::async(std::launch::async, [path, seed] {
        return tools(QH_SOURCE_DIR, {"play", path, "--walk", "1000", "--seed", seed});
      }));
    }
  }
  int stories = 0;
  for (const std::string& path : paths) {
    RunResult first = runs[3 * stories].get();
    RunResult again = runs[3 * stories + 1].get();
    RunResult other = runs[3 * stories + 2].get();
    ++stories;
    ASSERT_EQ(first.exit_code, 0) << first.err;
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(first.out, again.out);
    EXPECT_TRUE(contains_in_order(
        first.out, {"Recorridos de «", "»: 1000", "Finales alcanzados:", "Muertes:",
                    "Secciones nunca visitadas:\n  (ninguna)", "Recorrido más largo: "}));
    ASSERT_TRUE(story_parser_load_file(*story, path.c_str()));
    for (int s = 0; s < story->section_count; ++s) {
      const StorySection& sec = story->sections[s];
      if (!sec.is_ending) continue;
      std::string_view type = sec.ending_type.view();
      std::string name = "[" + std::string(sec.id.view()) + "] " + std::string(sec.title.view()) +
                         (type == "victory"  ? " (victoria)"
                          : type == "defeat" ? " (derrota)"
                                             : " (neutral)");
      EXPECT_NE(first.out.find(name), std::string::npos) << path << " never reached " << name;
    }
    EXPECT_NE(first.out, other.out);
  }
  EXPECT_GE(stories, 2);
  std::free(story);
}
