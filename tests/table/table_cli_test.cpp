#include "table/table_cli.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "table/table_broker.h"
#include "table/table_code.h"

namespace {

struct CliRun {
  int status;
  std::string out;
  std::string err;
};

CliRun run(std::vector<const char*> args) {
  args.insert(args.begin(), "quillhaven-mesa");
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  CliRun r{
      table_cli_run(static_cast<int>(args.size()), args.data(), "/nonexistent", nullptr, out, err),
      "", ""};
  for (auto [file, text] : {std::pair{out, &r.out}, std::pair{err, &r.err}}) {
    std::rewind(file);
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text->append(buffer, n);
    std::fclose(file);
  }
  return r;
}

}  // namespace

TEST(TableCli, UsageErrorsAndBadCodesAreToldInSpanish) {
  CliRun help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("Uso: quillhaven-mesa ORDEN [opciones]\n"));
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(run({}).status, 2);
  CliRun unknown = run({"jugar\x1b[2J"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_TRUE(unknown.err.starts_with("❌ Orden desconocida: jugar?[2J\n")) << unknown.err;
  TableCode code;
  FixedText<TABLE_CODE_MAX> text;
  ASSERT_TRUE(table_code_new(code, "127.0.0.1", 1883, nullptr));
  ASSERT_TRUE(table_code_format(code, text));
  std::string mistyped = text.c_str();
  mistyped[2] = mistyped[2] == '7' ? '8' : '7';
  CliRun typo = run({"join", mistyped.c_str(), "--nombre", "Ana"});
  EXPECT_EQ(typo.status, 1);
  EXPECT_EQ(typo.err,
            "❌ Código de mesa no válido: el código no es válido: ¿hay una errata al "
            "copiarlo?\n");
  EXPECT_EQ(run({"join", "--nombre"}).status, 2);
  EXPECT_EQ(run({"host", "h.md", "--director", "--votacion"}).status, 2);
  CliRun deadline = run({"host", "h.md", "--plazo", "9999"});
  EXPECT_EQ(deadline.status, 2);
  EXPECT_EQ(deadline.err, "❌ El plazo debe ser un número de segundos de 0 a 3600.\n");
  EXPECT_EQ(run({"host", "h.md", "--sala", "¡¿?!"}).status, 2);
  CliRun missing = run({"host", "no-existe.md"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "❌ No se pudo abrir la mesa: no se puede leer la historia no-existe.md\n");
  CliRun port = run({"broker", "--puerto", "70000"});
  EXPECT_EQ(port.status, 2);
  EXPECT_EQ(port.err, "❌ El puerto debe ser un número entre 1 y 65535.\n");
  EXPECT_EQ(run({"broker", "--direccion"}).status, 2);
}

TEST(TableCli, BrokerFolderIsPrivateAndItsConfigurationListensWhereAsked) {
  qh_test::TempDir root;
  TableErrorText error{};
  ASSERT_TRUE(table_broker_prepare(root.path(), "127.0.0.1", 18830, &error)) << error.c_str();
  TableBrokerPaths paths = table_broker_paths(root.path());
  struct stat info {};
  ASSERT_EQ(stat(paths.folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  for (const std::string& file : {paths.config, paths.admin, paths.security}) {
    ASSERT_EQ(stat(file.c_str(), &info), 0) << file;
    EXPECT_EQ(info.st_mode & 0777, 0600u) << file;
  }
  std::string config = qh_test::read_file(paths.config);
  EXPECT_TRUE(qh_test::contains_in_order(
      config, {"allow_anonymous false\n", "listener 18830 127.0.0.1\n", "persistence true\n",
               "plugin_opt_config_file " + paths.security + "\n"}));
  EXPECT_TRUE(qh_test::lacks(config, "allow_anonymous true"));
  // The administrator is made once: a second preparation keeps it.
  TableBrokerAdmin first, second;
  ASSERT_TRUE(table_broker_read_admin(root.path(), first));
  ASSERT_TRUE(table_broker_prepare(root.path(), "127.0.0.1", 18831, &error));
  ASSERT_TRUE(table_broker_read_admin(root.path(), second));
  EXPECT_EQ(first.password.view(), second.password.view());
  EXPECT_TRUE(qh_test::lacks(qh_test::read_file(paths.security), first.password.c_str()));
  EXPECT_FALSE(table_broker_prepare(root.path(), "127.0.0.1\nallow_anonymous true", 1883, &error));
}
