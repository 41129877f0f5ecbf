#include "logging/logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include "logging/log_files.h"
#include "platform/process.h"
#include "tests/support/log_reader.h"
#include "tests/support/temp_folder.h"

namespace tessel {
namespace {

using test::SplitRecords;

const std::regex kHeader(R"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}, SID [0-9A-F]{8}:\r\n)");

std::string Body(const std::string& record) { return std::regex_replace(record, kHeader, ""); }

// Restores the calling thread's logging flags, which tests change on purpose.
class LoggerTest : public ::testing::Test {
 protected:
  void TearDown() override { CLogger::SetThreadFlags(savedFlags_); }
  void Touch(const std::string& name, off_t size) {
    const int fd = ::open((sandbox_ / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, size), 0);
    ::close(fd);
  }
  CTempFolder sandbox_;
  uint32_t savedFlags_ = CLogger::ThreadFlags();
};

TEST_F(LoggerTest, RecordsHaveTheirExactLayoutAndLabels) {
  CLogger logger(sandbox_.LogOptions());
  logger.SetProcessPrefix("[Tessel service] [abc] ");
  logger.LogContext(Error, "[abc] ", "Can't open file %s, %s",
                    {LogArg::String("/x/y.png"), LogArg::String("2, No such file or directory")});
  const std::pair<int, const char*> levels[] = {{0, ""},          {1, ""},
                                                {2, "[DEBUG] "},  {3, "[WARNING] "},
                                                {5, "[CRITICAL_ERROR] "}, {6, "[ERROR_DEBUG] "},
                                                {7, "[TRACE] "},  {9, ""},
                                                {-1, ""}};
  for (const auto& [level, label] : levels) logger.Log(static_cast<LogLevel>(level), "m");

  const std::string text = test::ReadLogs(sandbox_ / "");
  std::smatch header;
  ASSERT_TRUE(std::regex_search(text, header, kHeader)) << text;
  EXPECT_EQ(header.position(), 0);
  EXPECT_EQ(header.str().find(", SID " + logger.ProcessTag() + ":"), 19u);
  const auto records = SplitRecords(text);
  ASSERT_EQ(records.size(), 1 + std::size(levels));
  EXPECT_EQ(Body(records[0]) + "\r\n\r\n",
            "[ERROR] [Tessel service] [abc] [abc] Can't open file /x/y.png, "
            "2, No such file or directory\r\n\r\n");
  for (size_t i = 0; i < std::size(levels); ++i) {
    EXPECT_EQ(Body(records[i + 1]), std::string(levels[i].second) + "[Tessel service] [abc] m")
        << "level " << levels[i].first;
  }
}

TEST_F(LoggerTest, ThreadFlagsDropRecordsAndCounting) {
  CLogger logger(sandbox_.LogOptions());
  // Bit 0: nothing is written and nothing is counted.
  CLogger::SetThreadFlags(CLogger::kThreadLoggingOff);
  for (int i = 0; i < 51; ++i) logger.Log(Error, "dropped");
  EXPECT_EQ(logger.TotalCount(), 0u);
  // Bit 1: only errors are written, but every record counts.
  CLogger::SetThreadFlags(CLogger::kThreadErrorsOnly);
  for (int i = 0; i < 50; ++i) logger.Log(Debug, "debug");
  logger.Log(Error, "error");
  EXPECT_EQ(logger.TotalCount(), 51u);
  // The service prefix switches the errors-only mode off for its thread.
  logger.SetProcessPrefix("[p] ");
  logger.Log(Debug, "after");
  const auto records = SplitRecords(test::ReadLogs(sandbox_ / ""));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(Body(records[0]), "[ERROR] error");
  EXPECT_EQ(Body(records[1]), "[DEBUG] [p] after");
}

TEST_F(LoggerTest, LongMessagesAndOverlongPrefixesAreCut) {
  CLogger logger(sandbox_.LogOptions());
  std::string message(20000, 'x');
  message[CLogger::kMessageLimit - 1] = 'y';
  logger.Log(Plain, "%s", {LogArg::String(message.c_str())});
  const std::string body = Body(test::ReadLogs(sandbox_ / ""));
  ASSERT_EQ(body.size(), CLogger::kMessageLimit + 4);
  EXPECT_EQ(body[CLogger::kMessageLimit - 1], 'y');
  EXPECT_EQ(body.substr(CLogger::kMessageLimit), "\r\n\r\n");

  // A client-chosen session id ends up in prefix and context: it must not end the process.
  const std::string huge(40000, 'c');
  logger.SetProcessPrefix(huge);
  logger.LogContext(Plain, huge.c_str(), "%s", {LogArg::String(huge.c_str())});
  const auto records = SplitRecords(test::ReadLogs(sandbox_ / ""));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_LT(records[1].size() + 4, CLogger::kRecordLimit);
}

TEST_F(LoggerTest, CounterReportsFirstAbove20000ThenEvery100000) {
  CLogger logger(sandbox_.LogOptions());
  // Totals move in steps of 51: the first above 20000 is 20043, the first above 120000 is
  // 120003 (the threshold grows from the old threshold, not from the total).
  for (int i = 0; i < 120003; ++i) logger.Log(Plain, "r");
  const std::string text = test::ReadLogs(sandbox_ / "");
  const std::regex counter(R"(\[DEBUG\] Log counter (\d+)\r\n)");
  std::vector<std::string> reports;
  for (std::sregex_iterator it(text.begin(), text.end(), counter), end; it != end; ++it) {
    reports.push_back((*it)[1]);
  }
  EXPECT_EQ(reports, (std::vector<std::string>{"20043", "120003"}));
}

TEST_F(LoggerTest, SwitchesToANewFilePast10MiBWithANote) {
  Touch("20200101_000000.log", 0);
  CLogger logger(sandbox_.LogOptions());
  const std::string chunk(15000, 'z');
  // 700 records of about 15 KB pass 10 MiB; the switch happens at the next 51-record check.
  for (int i = 0; i < 765; ++i) logger.Log(Plain, "%s", {LogArg::String(chunk.c_str())});
  const auto files = test::LogFileNames(sandbox_ / "");
  ASSERT_EQ(files.size(), 2u);
  const std::string old = sandbox_.Read("20200101_000000.log");
  EXPECT_GT(old.size(), CLogger::kSizeLimit);
  EXPECT_LT(old.size(), CLogger::kSizeLimit + 51 * 15100);
  const std::regex note(R"(\r\n\r\n\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}, SID [0-9A-F]{8}:\r\n)"
                        R"(Logging file size limit reached, creating new file\.\r\n\r\n$)");
  EXPECT_TRUE(std::regex_search(old, note));
  EXPECT_EQ(SplitRecords(test::ReadLogs(sandbox_ / "")).size(), 765u + 1u)
      << "nothing lost on the way";
}

TEST_F(LoggerTest, ContinuesTheNewestPlainLogFileUnlessItIsFull) {
  Touch("20260301_080000.log", 3 << 20);
  Touch("20260302_080000.log", 2 << 20);
  Touch("20260302_080000.old.log", 10);
  Touch("run_io.bin.log", 10);
  Touch("notes.txt", 10);
  const auto listed = ListLogFiles(sandbox_ / "");
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[2].path, sandbox_ / "20260302_080000.old.log");
  {
    CLogger logger(sandbox_.LogOptions());
    logger.Log(Plain, "joined");
  }
  EXPECT_NE(sandbox_.Read("20260302_080000.log").find("joined"), std::string::npos);

  // A newest file over the limit (the extension in any case) is left for a new one.
  Touch("20260303_080000.LOG", 12 << 20);
  {
    CLogger logger(sandbox_.LogOptions());
    logger.Log(Plain, "fresh");
  }
  const auto files = test::LogFileNames(sandbox_ / "");
  ASSERT_EQ(files.size(), 7u);
  std::string created;
  for (const auto& name : files) {
    if (name.find("0800") == std::string::npos && IsLogFileName(name) && name[0] == '2') {
      created = name;
    }
  }
  EXPECT_TRUE(std::regex_match(created, std::regex(R"(\d{8}_\d{6}\.log)"))) << created;
  EXPECT_NE(sandbox_.Read(created).find("fresh"), std::string::npos);

  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 7;
  t.tm_hour = 9;
  t.tm_min = 5;
  t.tm_sec = 31;
  EXPECT_EQ(NewLogFileName(t), "20260307_090531.log");
}

TEST_F(LoggerTest, SuppressedByAOneCharacterValueOnlyAndBannersOtherwise) {
  ::setenv(kLogSuppressVariable, "1", 1);
  {
    CLogger logger(sandbox_.LogOptions(true));
    logger.SetDirectory(sandbox_ / "elsewhere/");
    EXPECT_FALSE(logger.Enabled());
  }
  EXPECT_TRUE(test::LogFileNames(sandbox_ / "").empty());

  ::setenv(kLogSuppressVariable, "10", 1);
  { CLogger logger(sandbox_.LogOptions(true)); }
  ::unsetenv(kLogSuppressVariable);
  const auto records = SplitRecords(test::ReadLogs(sandbox_ / ""));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(Body(records[0]), "Library has been loaded, x64, " + ExecutableFolder() +
                                  "test_logging_logger, NLS , loaded 0");
  EXPECT_EQ(Body(records[1]), "Library has been unloaded");
}

TEST_F(LoggerTest, ThreadLoggingModeAndFolderChanges) {
  CLogger logger(sandbox_.LogOptions());
  EXPECT_TRUE(logger.EnableThreadLogging(false));
  logger.Log(Error, "dropped");
  logger.SetDirectory(sandbox_ / "never");  // refused while the thread is off
  EXPECT_TRUE(logger.EnableThreadLogging(true));
  EXPECT_EQ(logger.CopyDirectory(), sandbox_ / "");

  const std::string second = sandbox_ / "second/deeper";
  logger.SetDirectory(second);
  logger.Log(Plain, "moved");
  EXPECT_EQ(logger.CopyDirectory(), second + "/");
  auto old = SplitRecords(sandbox_.Read(test::LogFileNames(sandbox_ / "")[0]));
  ASSERT_EQ(old.size(), 3u);
  EXPECT_EQ(Body(old[0]), "Set logging mode: 0");
  EXPECT_EQ(Body(old[1]), "Set logging mode: 1");
  EXPECT_EQ(Body(old[2]), "[DEBUG] Set log directory " + second);

  ASSERT_EQ(ListLogFiles(second + "/").size(), 1u);
  const auto moved = SplitRecords(test::ReadLogs(second + "/"));
  ASSERT_EQ(moved.size(), 2u);
  EXPECT_EQ(Body(moved[0]),
            "[DEBUG] Log directory has been updated: " + (sandbox_ / "") + " -> " + second + "/");
  EXPECT_EQ(Body(moved[1]), "moved");
}

TEST_F(LoggerTest, UnwritableFolderDisablesLogging) {
  // Root writes through permissions; a file in the way of the folder fails for everyone.
  Touch("blocker", 0);
  LoggerOptions options = sandbox_.LogOptions();
  options.directory = sandbox_ / "blocker/logs";
  ::testing::internal::CaptureStderr();
  CLogger logger(options);
  logger.Log(Error, "lost");
  const std::string box = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(logger.Enabled());
  EXPECT_NE(box.find("Cannot open log file " + options.directory + "/"), std::string::npos) << box;
}

TEST_F(LoggerTest, DefaultFolderIsOursAloneAndLinksAreNeverFollowed) {
  CTempFolder temp;
  const std::string victim = temp.Write("victim", "");
  const std::string newest = "29991231_235959.log";
  // Another user's doing: TMPDIR/TESSEL/LOG/ open to everyone, with a link named like the newest
  // log file.
  for (const std::string folder : {"TESSEL", "TESSEL/LOG"}) {
    ASSERT_EQ(::mkdir((temp / folder).c_str(), 0777), 0);
    ASSERT_EQ(::chmod((temp / folder).c_str(), 0777), 0);
  }
  ASSERT_EQ(::symlink(victim.c_str(), (temp / "TESSEL/LOG/" + newest).c_str()), 0);
  LoggerOptions untold = sandbox_.LogOptions();
  untold.directory.clear();
  const std::string own = temp / "TESSEL-" + std::to_string(::geteuid()) + "/LOG/";
  {
    temp.UseAsUntoldTmpdir();
    ::testing::internal::CaptureStderr();
    CLogger logger(untold);
    logger.Log(Plain, "private record");
    EXPECT_EQ(logger.CopyDirectory(), own);
    ::testing::internal::GetCapturedStderr();  // what the folder rule says, tested with it
  }
  ASSERT_EQ(ListLogFiles(own).size(), 1u);
  EXPECT_NE(test::ReadLogs(own).find("private record"), std::string::npos);

  // In a folder that is named, a link under the name of the newest log file is passed over.
  ASSERT_EQ(::symlink(victim.c_str(), (sandbox_ / newest).c_str()), 0);
  {
    CLogger logger(sandbox_.LogOptions());
    logger.Log(Plain, "named record");
  }
  EXPECT_NE(test::ReadLogs(sandbox_ / "").find("named record"), std::string::npos);
  EXPECT_EQ(temp.Read("victim"), "");

  // A TMPDIR that does not exist is not made, and the reason is told.
  {
    temp.UseAsUntoldTmpdir("gone/deeper");
    ::testing::internal::CaptureStderr();
    CLogger logger(untold);
    EXPECT_FALSE(logger.Enabled());
    EXPECT_NE(::testing::internal::GetCapturedStderr().find(
                  "Cannot make the log folder, the temporary folder " + temp / "gone/deeper/ " +
                  "(TMPDIR) does not exist, and Tessel does not make it"),
              std::string::npos);
  }
  EXPECT_FALSE(std::filesystem::exists(temp / "gone"));
}

}  // namespace
}  // namespace tessel
