// A probe started confined must be refused what the same probe does unconfined, and must still be
// able to do what decoding needs (threads, memory, its own folder, the system's libraries).
#include "sandbox/worker_launcher.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "platform/process.h"
#include "tests/support/forked_child.h"
#include "tests/support/temp_folder.h"

namespace tessel {
namespace {

using Report = std::map<std::string, std::string>;

// Runs the probe in `mode` and returns what it could do, or why it did not run.
Report RunProbe(ConfinementMode mode, LaunchedWorker& launched) {
  CTempFolder temp;
  const std::string own = temp / "own";
  EXPECT_EQ(::mkdir(own.c_str(), 0700), 0);
  WorkerLaunch launch;
  launch.mode = mode;
  launch.executable = ExecutableFolder() + "child_confined_probe";
  launch.arguments = {"report", own, temp.Write("secret", "not for the worker")};
  launch.environment = {"TMPDIR=" + own};
#if defined(__SANITIZE_ADDRESS__)
  // The leak checker needs a process of its own, which the confined probe may not start.
  launch.environment.push_back("ASAN_OPTIONS=detect_leaks=0");
#endif
  launch.privateFolders = {own};
  launch.openFileLimit = 64;
  std::string error;
  if (!LaunchWorker(launch, launched, error)) return {{"error", error}};
  int status = -1;
  EXPECT_EQ(::waitpid(launched.pid, &status, 0), launched.pid);
  EXPECT_EQ(status, 0);
  Report report;
  std::ifstream in(own + "/report");
  for (std::string line; std::getline(in, line);) {
    const size_t equals = line.find('=');
    report[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return report;
}

TEST(WorkerLauncherTest, ConfinedProbeIsRefusedWhatTheUnconfinedOneDoes) {
  LaunchedWorker confinedWorker, unconfinedWorker;
  Report confined = RunProbe(ConfinementMode::kRequire, confinedWorker);
  Report unconfined = RunProbe(ConfinementMode::kOff, unconfinedWorker);
  ASSERT_EQ(confined.count("error"), 0u) << confined["error"];
  ASSERT_EQ(unconfined.count("error"), 0u) << unconfined["error"];
  EXPECT_TRUE(confinedWorker.report.Complete()) << confinedWorker.report.Describe();
  EXPECT_TRUE(unconfinedWorker.report.layers.empty());

  // {attempt, outcome confined, outcome unconfined}; 0 = it worked, else the errno.
  const std::string kEperm = std::to_string(EPERM), kEacces = std::to_string(EACCES);
  const std::tuple<const char*, std::string, std::string> attempts[] = {
      {"read_outside", kEacces, "0"},
      {"read_passwd", kEacces, "0"},
      {"socket", kEperm, "0"},
      {"signal_parent", kEperm, "0"},
      {"fork", kEperm, "0"},
      {"exec_memory", kEperm, "0"},
      {"truncate", kEperm, "0"},
      {"NoNewPrivs", "1", "0"},
      {"Seccomp", "2", "0"},
      {"CapEff", "0000000000000000", unconfined["CapEff"]},
      {"CapPrm", "0000000000000000", unconfined["CapPrm"]},
      {"core", "0", unconfined["core"]},
      {"stack", std::to_string(8 << 20), unconfined["stack"]},
      // What decoding needs stays allowed.
      {"write_private", "0", "0"},
      {"read_library", "0", "0"},
      {"signal_self", "0", "0"},
      {"thread", "0", "0"},
      {"data_memory", "0", "0"},
      {"own_session", "0", "0"},
  };
  for (const auto& [name, expectConfined, expectUnconfined] : attempts) {
    EXPECT_EQ(confined[name], expectConfined) << name;
    EXPECT_EQ(unconfined[name], expectUnconfined) << name;
  }
  if (::geteuid() == 0) {
    // Root's bounding set is emptied, so exec cannot hand root's capabilities back.
    EXPECT_EQ(confined["CapBnd"], "0000000000000000");
    EXPECT_NE(unconfined["CapEff"], "0000000000000000");
  }
}

TEST(WorkerLauncherTest, RequiredConfinementRefusesToStartWhatItCannotGrant) {
  CTempFolder temp;
  WorkerLaunch launch;
  launch.executable = ExecutableFolder() + "child_confined_probe";
  launch.readable = {temp / "no-such-image.png"};
  LaunchedWorker launched;
  std::string error;
  EXPECT_FALSE(LaunchWorker(launch, launched, error));
  EXPECT_EQ(launched.pid, -1);
  EXPECT_NE(error.find("no-such-image.png: No such file or directory"), std::string::npos) << error;

  // Every layer is named in the report of what this machine offers.
  const ConfinementReport offered = ProbeConfinement();
  for (const char* layer :
       {"no_new_privs", "capabilities", "environment", "resource limits", "Landlock", "seccomp"})
    EXPECT_NE(offered.Find(layer), nullptr) << layer;
}

// The child runs on the caller's memory until its exec, with the caller's signals held off: what
// the caller ignores or blocks must not reach the worker, and the caller's own mask must be as
// it was afterwards.
TEST(WorkerLauncherTest, TheWorkerStartsWithDefaultSignalsAndTheCallerKeepsItsOwn) {
  test::RunInChild([] {
    ::signal(SIGTERM, SIG_IGN);
    ::signal(SIGUSR2, [](int) {});
    sigset_t blocked, after;
    ::sigemptyset(&blocked);
    ::sigaddset(&blocked, SIGUSR1);
    ::sigprocmask(SIG_SETMASK, &blocked, nullptr);

    WorkerLaunch launch;
    launch.mode = ConfinementMode::kOff;
    launch.executable = "/bin/sleep";
    launch.arguments = {"30"};
    LaunchedWorker launched;
    std::string error;
    ASSERT_TRUE(LaunchWorker(launch, launched, error)) << error;
    ::sigprocmask(SIG_SETMASK, nullptr, &after);
    EXPECT_TRUE(::sigismember(&after, SIGUSR1));
    EXPECT_FALSE(::sigismember(&after, SIGUSR2));
    EXPECT_FALSE(::sigismember(&after, SIGTERM));

    // Read once the child runs the program, not while it is still ours.
    std::map<std::string, std::string> fields;
    for (int attempt = 0; attempt < 500 && fields["Name"] != "sleep"; ++attempt) {
      fields.clear();
      std::ifstream status("/proc/" + std::to_string(launched.pid) + "/status");
      for (std::string line; std::getline(status, line);) {
        const size_t colon = line.find(':');
        const size_t value = line.find_first_not_of(" \t", colon + 1);
        if (colon != std::string::npos && value != std::string::npos)
          fields[line.substr(0, colon)] = line.substr(value);
      }
      if (fields["Name"] != "sleep") ::usleep(2000);
    }
    EXPECT_EQ(fields["Name"], "sleep");
    EXPECT_EQ(fields["SigIgn"], "0000000000000000");
    EXPECT_EQ(fields["SigBlk"], "0000000000000000");
    EXPECT_EQ(fields["SigCgt"], "0000000000000000");
    ::kill(launched.pid, SIGKILL);
    ::waitpid(launched.pid, nullptr, 0);
  });
}

}  // namespace
}  // namespace tessel
