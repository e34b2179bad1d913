// quillhaven-mesa's command line, run as the real program.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/test_support.h"
#include "table/table_broker.h"

namespace {

qh_test::RunResult run(const std::vector<std::string>& args) {
  qh_test::TempDir dir;
  qh_test::RunOptions options;
  options.cwd = dir.path();
  options.args = args;
  options.binary = QH_MESA_BINARY;
  return qh_test::run_program(options);
}

}  // namespace

TEST(TableCli, UsageErrorsAndBadCodesAreToldInSpanish) {
  auto help = run({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_TRUE(help.out.starts_with("Uso: quillhaven-mesa ORDEN [opciones]\n"));
  EXPECT_EQ(help.err, "");
  auto unknown = run({"jugar\x1b[2J"});
  EXPECT_EQ(unknown.exit_code, 2);
  EXPECT_TRUE(unknown.err.starts_with("❌ Orden desconocida: jugar?[2J\n")) << unknown.err;
  // A valid code with its third character mistyped.
  auto typo = run(
      {"join", "217G0-0010X-DKAYN-Q874N-CPBAZ-Z2E7P-W0APK-Y0Q2B-Q1TJ1-6AC98", "--nombre", "Ana"});
  EXPECT_EQ(typo.exit_code, 1);
  EXPECT_EQ(typo.err,
            "❌ Código de mesa no válido: el código no es válido: ¿hay una errata al copiarlo?\n");
  auto deadline = run({"host", "h.md", "--plazo", "9999"});
  EXPECT_EQ(deadline.exit_code, 2);
  EXPECT_EQ(deadline.err, "❌ El plazo debe ser un número de segundos de 0 a 3600.\n");
  auto missing = run({"host", "no-existe.md"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.err, "❌ No se pudo abrir la mesa: no se puede leer la historia no-existe.md\n");
  auto port = run({"broker", "--puerto", "70000"});
  EXPECT_EQ(port.exit_code, 2);
  EXPECT_EQ(port.err, "❌ El puerto debe ser un número entre 1 y 65535.\n");
  EXPECT_EQ(run({}).exit_code, 2);
  EXPECT_EQ(run({"join", "--nombre"}).exit_code, 2);
  EXPECT_EQ(run({"host", "h.md", "--director", "--votacion"}).exit_code, 2);
  EXPECT_EQ(run({"host", "h.md", "--sala", "¡¿?!"}).exit_code, 2);
  EXPECT_EQ(run({"broker", "--direccion"}).exit_code, 2);
}

TEST(TableCli, BrokerFolderIsPrivateAndItsConfigurationListensWhereAsked) {
  qh_test::TempDir root;
  TableErrorText error{};
  ASSERT_TRUE(table_broker_prepare(root.path(), "127.0.0.1", 18830, &error)) << error.c_str();
  TableBrokerPaths paths = table_broker_paths(root.path());
  struct stat info {};
  for (const std::string& file : {paths.folder, paths.config, paths.admin, paths.security}) {
    ASSERT_EQ(stat(file.c_str(), &info), 0) << file;
    EXPECT_EQ(info.st_mode & 0777, file == paths.folder ? 0700u : 0600u) << file;
  }
  // Only on the address asked for (anonymous refusal, the ACLs and persistence
  // are tried on the running broker by the broker and fault tests).
  EXPECT_NE(qh_test::read_file(paths.config).find("listener 18830 127.0.0.1\n"), std::string::npos);
  // The administrator is made once: a second preparation keeps it.
  TableBrokerAdmin first, second;
  ASSERT_TRUE(table_broker_read_admin(root.path(), first));
  ASSERT_TRUE(table_broker_prepare(root.path(), "127.0.0.1", 18831, &error));
  ASSERT_TRUE(table_broker_read_admin(root.path(), second));
  EXPECT_EQ(first.password.view(), second.password.view());
  EXPECT_TRUE(qh_test::lacks(qh_test::read_file(paths.security), first.password.c_str()));
  EXPECT_FALSE(table_broker_prepare(root.path(), "127.0.0.1\nallow_anonymous true", 1883, &error));
}
