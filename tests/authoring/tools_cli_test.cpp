#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

using qh_test::RunResult;

namespace {

// The toolkit, or another program, run in `cwd`.
RunResult tools(const std::string& cwd, std::vector<std::string> args, std::string input = "",
                std::string binary = QH_TOOLS_BINARY, long file_size_limit = 0) {
  return qh_test::run_program({.cwd = cwd,
                               .input = std::move(input),
                               .args = std::move(args),
                               .binary = std::move(binary),
                               .env = {},
                               .file_size_limit = file_size_limit});
}

}  // namespace

// The commands an author types, as listed in authoring/ordenes.txt, run in a folder holding
// the workshop's template story, a story with one option that leads nowhere, a folder named
// like a story and the stories the analysis is worked out on: what each writes and its exit
// status must be what the transcript records. The template checks clean, walks and analyses
// without fault; the broken story fails the check, the walk (the walks that take the option stop
// there and are counted) and the analysis; notes show only when asked for and never fail; a file
// that cannot be read and a cap reached have their own status; help goes to standard output.
TEST(ToolsCli, CommandsAnswerAsRecorded) {
  qh_test::TempDir dir;
  for (const char* story :
       {"/workshop_template.md", "/check/un_problema/final_por_texto.md",
        "/analyze/llave_olvidada.md", "/analyze/encierros.md", "/analyze/opcion_oculta.md",
        "/analyze/peligro.md", "/analyze/prueba_simple.md", "/authoring/destinos.md",
        "/authoring/clave_acentuada.md", "/authoring/tecleo.md", "/authoring/roto.md"}) {
    qh_test::copy_file(QH_TEST_DATA_DIR + std::string(story),
                       dir.file(std::filesystem::path(story).filename().string()));
  }
  std::filesystem::create_directory(dir.file("carpeta.md"));
  qh_test::copy_file(dir.file("destinos.md"), dir.file("a\"b.md"));  // a name JSON must escape
  const std::string expected = qh_test::read_file(QH_TEST_DATA_DIR "/authoring/ordenes.txt");
  const std::string prompt = "$ quillhaven-tools";
  std::istringstream lines(expected);
  std::string transcript;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(prompt, 0) != 0) continue;
    std::vector<std::string> args;
    std::istringstream words(line.substr(prompt.size()));
    for (std::string word; words >> word;) args.push_back(word);
    RunResult r = tools(dir.path(), args);
    transcript += line + "\n" + r.out + (r.err.empty() ? "" : "[stderr]\n" + r.err) + "[estado " +
                  std::to_string(r.exit_code) + "]\n\n";
  }
  EXPECT_EQ(transcript, expected);

  // A missing or bad argument prints the usage to standard error.
  for (std::vector<std::string> bad : {std::vector<std::string>{},
                                       {"analyze"},
                                       {"analyze", "--max-states", "0", "peligro.md"},
                                       {"analyze", "--max-states", "12x", "peligro.md"},
                                       {"analyze", "--rapido", "peligro.md"}}) {
    RunResult r = tools(dir.path(), bad);
    EXPECT_TRUE(r.exit_code == 2 && r.out.empty()) << bad.size();
    EXPECT_NE(r.err.find(bad.empty() ? "Uso:" : "Uso: quillhaven-tools analyze"),
              std::string::npos);
  }

  if (qh_test::file_exists("/usr/bin/dot")) {  // the map renders
    RunResult svg = tools(dir.path(), {"-Tsvg"},
                          tools(dir.path(), {"map", "workshop_template.md"}).out, "/usr/bin/dot");
    EXPECT_TRUE(svg.exit_code == 0 && svg.err.empty()) << svg.err;
    EXPECT_NE(svg.out.find("<svg"), std::string::npos);
  }
  // A map cut short by the file-size limit is reported, not taken for a success.
  RunResult cut =
      tools(dir.path(),
            {"-c", "exec \"$0\" map \"$1\" > mapa.dot", QH_TOOLS_BINARY, "workshop_template.md"},
            "", "/bin/sh", 100);
  EXPECT_EQ(cut.exit_code, 2);
  EXPECT_EQ(cut.err, "No se pudo escribir la salida completa.\n");
}
