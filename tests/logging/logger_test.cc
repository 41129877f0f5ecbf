#include "logging/logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "log_test_support.h"
#include "logging/log_files.h"

namespace tessel {
namespace {

using test::CLogSandbox;
using test::SplitRecords;

const std::regex kHeader(R"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}, SID [0-9A-F]{8}:\r\n)");

// Restores the calling thread's logging flags, which tests change on purpose.
class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override { savedFlags_ = CLogger::ThreadFlags(); }
  void TearDown() override { CLogger::SetThreadFlags(savedFlags_); }
  CLogSandbox sandbox_;
  uint32_t savedFlags_ = 0;
};

void Touch(const std::string& path, off_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, size), 0);
  ::close(fd);
}

TEST_F(LoggerTest, RecordHasExactLayout) {
  CLogger logger(sandbox_.Options());
  logger.SetProcessPrefix("[Tessel service] [abc] ");
  logger.LogContext(Error, "[abc] ", "Can't open file %s, %s",
                    {LogArg::String("/x/y.png"), LogArg::String("2, No such file or directory")});
  const std::string text = sandbox_.ReadAll();
  std::smatch header;
  ASSERT_TRUE(std::regex_search(text, header, kHeader)) << text;
  EXPECT_EQ(header.position(), 0);
  EXPECT_EQ(text.substr(header.length()),
            "[ERROR] [Tessel service] [abc] [abc] Can't open file /x/y.png, "
            "2, No such file or directory\r\n\r\n");
  EXPECT_NE(text.find(", SID " + logger.ProcessTag() + ":"), std::string::npos);
}

TEST_F(LoggerTest, LevelLabels) {
  CLogger logger(sandbox_.Options());
  const std::pair<int, const char*> levels[] = {
      {0, ""},           {1, ""},
      {2, "[DEBUG] "},   {3, "[WARNING] "},
      {4, "[ERROR] "},   {5, "[CRITICAL_ERROR] "},
      {6, "[ERROR_DEBUG] "}, {7, "[TRACE] "},
      {9, ""},           {-1, ""},
  };
  for (const auto& [level, label] : levels) {
    logger.Log(static_cast<LogLevel>(level), "m");
  }
  const auto records = SplitRecords(sandbox_.ReadAll());
  ASSERT_EQ(records.size(), std::size(levels));
  for (size_t i = 0; i < records.size(); ++i) {
    const std::string body = std::regex_replace(records[i], kHeader, "");
    EXPECT_EQ(body, std::string(levels[i].second) + "m") << "level " << levels[i].first;
  }
}

TEST_F(LoggerTest, ThreadFlagsDropRecordsAndCounting) {
  CLogger logger(sandbox_.Options());
  // Bit 0: nothing is written and nothing is counted.
  CLogger::SetThreadFlags(CLogger::kThreadLoggingOff);
  for (int i = 0; i < 51; ++i) logger.Log(Error, "dropped");
  EXPECT_EQ(logger.TotalCount(), 0u);
  // Bit 1: only errors are written, but every record counts.
  CLogger::SetThreadFlags(CLogger::kThreadErrorsOnly);
  for (int i = 0; i < 50; ++i) logger.Log(Debug, "debug");
  logger.Log(Error, "error");
  logger.Log(CriticalError, "critical");
  EXPECT_EQ(logger.TotalCount(), 51u);
  const auto records = SplitRecords(sandbox_.ReadAll());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_NE(records[0].find("[ERROR] error"), std::string::npos);
  EXPECT_NE(records[1].find("[CRITICAL_ERROR] critical"), std::string::npos);
  // The service prefix switches the errors-only mode off for its thread.
  logger.SetProcessPrefix("[p] ");
  logger.Log(Debug, "after");
  EXPECT_NE(sandbox_.ReadAll().find("[DEBUG] [p] after"), std::string::npos);
}

TEST_F(LoggerTest, LongMessageIsCut) {
  CLogger logger(sandbox_.Options());
  std::string message(20000, 'x');
  message[CLogger::kMessageLimit - 1] = 'y';
  logger.Log(Plain, "%s", {LogArg::String(message.c_str())});
  const std::string body = std::regex_replace(sandbox_.ReadAll(), kHeader, "");
  ASSERT_EQ(body.size(), CLogger::kMessageLimit + 4);
  EXPECT_EQ(body[CLogger::kMessageLimit - 1], 'y');
  EXPECT_EQ(body.substr(CLogger::kMessageLimit), "\r\n\r\n");
}

TEST_F(LoggerTest, OverlongPrefixAndContextStillGiveABoundedRecord) {
  CLogger logger(sandbox_.Options());
  const std::string huge(40000, 'c');
  logger.SetProcessPrefix(huge);
  logger.LogContext(Plain, huge.c_str(), "%s", {LogArg::String(huge.c_str())});
  const std::string text = sandbox_.ReadAll();
  EXPECT_LT(text.size(), CLogger::kRecordLimit);
  EXPECT_EQ(text.substr(text.size() - 4), "\r\n\r\n");
}

TEST_F(LoggerTest, CounterReportsFirstAbove20000ThenEvery100000) {
  CLogger logger(sandbox_.Options());
  // Totals move in steps of 51: the first above 20000 is 20043, the first above 120000 is
  // 120003 (the threshold grows from the old threshold, not from the total).
  for (int i = 0; i < 120003; ++i) logger.Log(Plain, "r");
  const std::string text = sandbox_.ReadAll();
  const std::regex counter(R"(\[DEBUG\] Log counter (\d+)\r\n)");
  std::vector<std::string> reports;
  for (std::sregex_iterator it(text.begin(), text.end(), counter), end; it != end; ++it) {
    reports.push_back((*it)[1]);
  }
  EXPECT_EQ(reports, (std::vector<std::string>{"20043", "120003"}));
  EXPECT_EQ(logger.TotalCount(), 120003u);
}

TEST_F(LoggerTest, SwitchesToANewFilePast10MiBWithANote) {
  Touch(sandbox_.Folder() + "20200101_000000.log", 0);
  CLogger logger(sandbox_.Options());
  const std::string chunk(15000, 'z');
  // 700 records of about 15 KB pass 10 MiB; the switch happens at the next 51-record check.
  for (int i = 0; i < 765; ++i) logger.Log(Plain, "%s", {LogArg::String(chunk.c_str())});
  const auto files = sandbox_.Files();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0], "20200101_000000.log");
  const std::string old = sandbox_.Read(files[0]);
  EXPECT_GT(old.size(), CLogger::kSizeLimit);
  EXPECT_LT(old.size(), CLogger::kSizeLimit + 51 * 15100);
  const std::regex note(R"(\r\n\r\n\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}, SID [0-9A-F]{8}:\r\n)"
                        R"(Logging file size limit reached, creating new file\.\r\n\r\n$)");
  EXPECT_TRUE(std::regex_search(old, note));
  // Nothing is lost across the switch.
  EXPECT_EQ(SplitRecords(sandbox_.ReadAll()).size(), 765u + 1u);
}

TEST_F(LoggerTest, ContinuesTheNewestPlainLogFile) {
  const std::string folder = sandbox_.Folder();
  Touch(folder + "20260301_080000.log", 3 << 20);
  Touch(folder + "20260302_080000.log", 2 << 20);
  Touch(folder + "20260302_080000.old.log", 10);
  Touch(folder + "run_io.bin.log", 10);
  Touch(folder + "notes.txt", 10);
  const auto listed = ListLogFiles(folder);
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[2].path, folder + "20260302_080000.old.log");
  EXPECT_EQ(listed[1].size, 2u << 20);

  CLogger logger(sandbox_.Options());
  logger.Log(Plain, "joined");
  EXPECT_EQ(sandbox_.Files().size(), 5u);
  EXPECT_NE(sandbox_.Read("20260302_080000.log").find("joined"), std::string::npos);
}

TEST_F(LoggerTest, UpperCaseExtensionCountsAndAFullNewestFileIsLeft) {
  const std::string folder = sandbox_.Folder();
  Touch(folder + "20260302_080000.LOG", 12 << 20);
  {
    const auto listed = ListLogFiles(folder);
    ASSERT_EQ(listed.size(), 1u);
  }
  CLogger logger(sandbox_.Options());
  logger.Log(Plain, "fresh");
  const auto files = sandbox_.Files();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0], "20260302_080000.LOG");
  EXPECT_TRUE(std::regex_match(files[1], std::regex(R"(\d{8}_\d{6}\.log)"))) << files[1];
  EXPECT_NE(sandbox_.Read(files[1]).find("fresh"), std::string::npos);
}

TEST_F(LoggerTest, NewFileIsNamedAfterTheLocalTime) {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 7;
  t.tm_hour = 9;
  t.tm_min = 5;
  t.tm_sec = 31;
  EXPECT_EQ(NewLogFileName(t), "20260307_090531.log");
  EXPECT_FALSE(IsLogFileName("a_io.csv.log"));
  EXPECT_FALSE(IsLogFileName("x.log.txt"));
  EXPECT_TRUE(IsLogFileName("x.Log"));
}

TEST_F(LoggerTest, SuppressedByAOneCharacterValueOnly) {
  ::setenv(kLogSuppressVariable, "1", 1);
  {
    CLogger logger(sandbox_.Options(true));
    logger.Log(Error, "nothing");
    logger.SetDirectory(sandbox_.Folder() + "elsewhere/");
    EXPECT_FALSE(logger.Enabled());
  }
  EXPECT_TRUE(sandbox_.Files().empty());

  ::setenv(kLogSuppressVariable, "10", 1);
  {
    CLogger logger(sandbox_.Options(true));
    logger.Log(Error, "something");
  }
  ::unsetenv(kLogSuppressVariable);
  const std::string text = sandbox_.ReadAll();
  EXPECT_NE(text.find("Library has been loaded, "), std::string::npos);
  EXPECT_NE(text.find("something"), std::string::npos);
  EXPECT_NE(text.find("Library has been unloaded"), std::string::npos);
}

TEST_F(LoggerTest, LoadBannerNamesArchitectureAndProgram) {
  { CLogger logger(sandbox_.Options(true)); }
  const auto records = SplitRecords(sandbox_.ReadAll());
  ASSERT_EQ(records.size(), 2u);
  const std::string program = std::string(test::TestBinaryFolder()) + "test_logging_logger";
  EXPECT_EQ(std::regex_replace(records[0], kHeader, ""),
            "Library has been loaded, x64, " + program + ", NLS , loaded 0");
  EXPECT_EQ(std::regex_replace(records[1], kHeader, ""), "Library has been unloaded");
}

TEST_F(LoggerTest, ThreadLoggingModeWritesItsOwnRecord) {
  CLogger logger(sandbox_.Options());
  EXPECT_TRUE(logger.EnableThreadLogging(false));
  logger.Log(Error, "dropped");
  EXPECT_TRUE(logger.EnableThreadLogging(true));
  logger.Log(Plain, "kept");
  const auto records = SplitRecords(sandbox_.ReadAll());
  ASSERT_EQ(records.size(), 3u);
  EXPECT_NE(records[0].find("Set logging mode: 0"), std::string::npos);
  EXPECT_NE(records[1].find("Set logging mode: 1"), std::string::npos);
  EXPECT_NE(records[2].find("kept"), std::string::npos);
}

TEST_F(LoggerTest, SetDirectoryMovesTheLog) {
  CLogger logger(sandbox_.Options());
  const std::string second = sandbox_.Folder() + "second/deeper";
  logger.SetDirectory(second);
  logger.Log(Plain, "moved");
  EXPECT_EQ(logger.CopyDirectory(), second + "/");
  const auto oldRecords = SplitRecords(sandbox_.Read(sandbox_.Files()[0]));
  ASSERT_EQ(oldRecords.size(), 1u);
  EXPECT_NE(oldRecords[0].find("[DEBUG] Set log directory " + second), std::string::npos);

  std::string moved;
  for (const auto& entry : ListLogFiles(second + "/")) {
    std::ifstream in(entry.path, std::ios::binary);
    moved.assign(std::istreambuf_iterator<char>(in), {});
  }
  const auto newRecords = SplitRecords(moved);
  ASSERT_EQ(newRecords.size(), 2u);
  EXPECT_NE(newRecords[0].find("Log directory has been updated: " + sandbox_.Folder() + " -> " +
                               second + "/"),
            std::string::npos);
  EXPECT_NE(newRecords[1].find("moved"), std::string::npos);

  // The same folder again reopens the same newest file with both records in it.
  logger.SetDirectory(second + "/");
  EXPECT_EQ(ListLogFiles(second + "/").size(), 1u);
}

TEST_F(LoggerTest, SetDirectoryIsRefusedWhileTheThreadIsOff) {
  CLogger logger(sandbox_.Options());
  logger.EnableThreadLogging(false);
  logger.SetDirectory(sandbox_.Folder() + "never");
  EXPECT_EQ(logger.CopyDirectory(), sandbox_.Folder());
  struct stat st;
  EXPECT_NE(::stat((sandbox_.Folder() + "never").c_str(), &st), 0);
}

TEST_F(LoggerTest, UnwritableFolderDisablesLogging) {
  if (::geteuid() == 0) {
    // Root writes through permissions; a file in the way of the folder fails for everyone.
    Touch(sandbox_.Folder() + "blocker", 0);
  } else {
    ::chmod(sandbox_.Folder().c_str(), 0500);
  }
  LoggerOptions options = sandbox_.Options();
  options.directory = sandbox_.Folder() + "blocker/logs";
  ::testing::internal::CaptureStderr();
  CLogger logger(options);
  logger.Log(Error, "lost");
  const std::string box = ::testing::internal::GetCapturedStderr();
  ::chmod(sandbox_.Folder().c_str(), 0700);
  EXPECT_FALSE(logger.Enabled());
  EXPECT_NE(box.find("Cannot open log file " + options.directory + "/"), std::string::npos) << box;
}

}  // namespace
}  // namespace tessel
