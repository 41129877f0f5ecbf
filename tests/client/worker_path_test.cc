#include "client/worker_path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/process.h"
#include "tests/support/temp_folder.h"

namespace tessel {
namespace {

namespace fs = std::filesystem;

std::string MakeProgram(const CTempFolder& folder, const std::string& name) {
  fs::create_directories(fs::path(folder / name).parent_path());
  const std::string path = folder.Write(name, "#!/bin/sh\n");
  EXPECT_EQ(::chmod(path.c_str(), 0755), 0);
  return path;
}

TEST(WorkerPathTest, TheCallerThenTheVariableThenTheLibraryThenTheProgramChoose) {
  CTempFolder folder;
  WorkerSearch search;
  search.libraryFolder = folder / "lib/";
  search.programFolder = folder / "app/";
  const std::string installed = folder / "libexec/tessel/Tessel";
  const std::string besideLibrary = folder / "lib/Tessel";
  const std::string besideProgram = folder / "app/Tessel";
  ASSERT_EQ(WorkerCandidatesFor(search),
            (std::vector<std::string>{installed, besideLibrary, besideProgram}));

  Result<std::string> found = FindWorkerProgram(search);
  ASSERT_FALSE(found);
  EXPECT_EQ(found.Error().Kind(), ErrorKind::kNotFound);
  EXPECT_EQ(found.Error().Message(),
            "cannot find the worker program Tessel: looked in " + installed + ", " + besideLibrary +
                " and " + besideProgram +
                "; set SessionOptions::workerPath or the TESSEL_WORKER environment variable to "
                "its path");

  // Each place found takes over from the ones after it.
  for (const std::string& place : {besideProgram, besideLibrary, installed}) {
    MakeProgram(folder, place.substr((folder / "").size()));
    found = FindWorkerProgram(search);
    ASSERT_TRUE(found) << found.Error().Message();
    EXPECT_EQ(found.Value(), place);
  }
  // A file that cannot run is passed over.
  ASSERT_EQ(::chmod(installed.c_str(), 0644), 0);
  EXPECT_EQ(FindWorkerProgram(search).Value(), besideLibrary);

  const std::string chosen = MakeProgram(folder, "elsewhere/Tessel");
  search.variable = chosen.c_str();
  EXPECT_EQ(FindWorkerProgram(search).Value(), chosen);
  search.configured = "/given/Tessel";
  EXPECT_EQ(FindWorkerProgram(search).Value(), "/given/Tessel");

  // A variable that names nothing runnable is a mistake to report, not a reason to look on.
  search.configured.clear();
  const std::string missing = folder / "missing/Tessel";
  search.variable = missing.c_str();
  found = FindWorkerProgram(search);
  ASSERT_FALSE(found);
  EXPECT_EQ(found.Error().Message(),
            "TESSEL_WORKER names " + missing +
                ", which cannot be run: No such file or directory; correct it, or unset it to "
                "search beside the library and the program");
}

// A program copied out of the build tree looks where it now lies, never back into the build.
TEST(WorkerPathTest, ACopiedProgramFindsOnlyTheWorkersOfItsOwnLayout) {
  CTempFolder folder;
  const std::string program = folder / "bin/lookup";
  fs::create_directories(folder / "bin");
  fs::copy_file(ExecutableFolder() + "child_worker_lookup", program);
  const auto run = [&](const std::string& environment) {
    FILE* pipe =
        ::popen(("env -u TESSEL_WORKER " + environment + " '" + program + "'").c_str(), "r");
    if (pipe == nullptr) return std::string("popen failed");
    std::string text;
    char buffer[512];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      text.append(buffer, got);
    ::pclose(pipe);
    return text;
  };

  EXPECT_EQ(run(""), "error: cannot find the worker program Tessel: looked in " +
                         folder / "libexec/tessel/Tessel" + " and " + folder / "bin/Tessel" +
                         "; set SessionOptions::workerPath or the TESSEL_WORKER environment "
                         "variable to its path\n");
  MakeProgram(folder, "bin/Tessel");
  EXPECT_EQ(run(""), folder / "bin/Tessel" + "\n");
  MakeProgram(folder, "libexec/tessel/Tessel");
  EXPECT_EQ(run(""), folder / "libexec/tessel/Tessel" + "\n");
  EXPECT_EQ(run("TESSEL_WORKER=" + ExecutableFolder() + "Tessel"), ExecutableFolder() + "Tessel\n");
}

}  // namespace
}  // namespace tessel
