// Ctrl+C, a closed terminal and SIGTERM in the middle of an adventure: the
// real game, its input a pipe that stays open, its music played by a stand-in
// player. Each signal must leave a valid autosave of the current position,
// no music process behind, and the conventional exit status.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "e2e/expected_text.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;
using qh_test::count_of;

// Waits for `condition`, at most twenty seconds (a loaded machine under the
// sanitizers starts the game slowly).
template <typename Condition>
bool eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

TEST(Signals, EachStopSignalMidAdventureSavesStopsTheMusicAndExits) {
  for (int signal_number : {SIGINT, SIGHUP, SIGTERM}) {
    SCOPED_TRACE(signal_number);
    qh_test::TempDir dir;
    qh_test::copy_file(QH_TEST_DATA_DIR "/valle_de_prueba.md",
                       dir.file("stories/valle_de_prueba.md"));
    std::string config = qh_test::read_file(QH_TEST_DATA_DIR "/quiet_config.json");
    config.replace(config.find("\"music_enabled\": false"), 22, "\"music_enabled\": true");
    qh_test::write_file(dir.file("config.json"), config);
    for (const char* track : {"quillhaven_intro.wav", "dungeon_ambient.wav"})
      qh_test::write_file(dir.file(std::string("assets/audio/") + track), "RIFF");
    // The player logs its pid, then plays for a long time.
    qh_test::make_executable_script(
        dir.file("bin/afplay"),
        "#!/bin/sh\necho $$ >> '" + dir.file("players") + "'\nexec sleep 30\n");

    int input[2];
    ASSERT_EQ(pipe(input), 0);
    const std::string out_path = dir.file("out");
    const std::string path = dir.file("bin") + ":/usr/bin:/bin";
    const pid_t game = fork();
    ASSERT_GE(game, 0);
    if (game == 0) {
      setpgid(0, 0);
      dup2(input[0], 0);
      int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      dup2(out, 2);
      close(input[1]);
      if (chdir(dir.path().c_str()) != 0) _exit(126);
      setenv("PATH", path.c_str(), 1);
      setenv("QUILLHAVEN_SEED", "1", 1);
      execl(QH_BINARY, QH_BINARY, static_cast<char*>(nullptr));
      _exit(127);
    }
    close(input[0]);
    // Into the well (the key found, 2 HP lost), then wait at its prompt.
    const std::string answers = "1\n1\nAna\n1\n";
    ASSERT_EQ(write(input[1], answers.data(), answers.size()),
              static_cast<ssize_t>(answers.size()));
    const std::string prompt = "¿Qué deseas hacer? ❯ ";
    ASSERT_TRUE(eventually([&] { return count_of(qh_test::read_file(out_path), prompt) == 2; }))
        << qh_test::read_file(out_path);
    // The shell creates the file before `echo` has written the pid: wait for
    // the whole line.
    ASSERT_TRUE(
        eventually([&] { return qh_test::read_file(dir.file("players")).ends_with('\n'); }));
    const pid_t player = std::atoi(qh_test::read_file(dir.file("players")).c_str());
    ASSERT_GT(player, 0);  // kill(0, ...) below would reach this test's own group

    ASSERT_EQ(kill(game, signal_number), 0);
    int status = 0;
    ASSERT_EQ(waitpid(game, &status, 0), game);
    close(input[1]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + signal_number) << status;
    EXPECT_TRUE(qh_test::shows(qh_test::read_file(out_path), "e2e", "signal_exit.txt"));
    EXPECT_TRUE(
        qh_test::shows(qh_test::read_file(dir.file("saves/autosave_storiesvalle_de_pruebamd.json")),
                       "e2e", "signal_autosave.txt"));
    EXPECT_TRUE(eventually([&] { return kill(player, 0) != 0 && errno == ESRCH; }));
    kill(player, SIGKILL);  // never left behind, whatever the outcome
  }
}

}  // namespace
