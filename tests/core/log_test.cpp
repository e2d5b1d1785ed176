// The diagnostic log: record format, line ends, cutting, recreation, concurrency, and the
// start-up notice as the user sees it.
#include "core/log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "hostsim/host.h"
#include "support/support.h"

namespace {

using testsupport::read_file;
using testsupport::WorkFolder;

// 7 December 2026, 21:50:09 UTC.
time_t fixed_clock() { return 1796680209; }

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    log_init("vortel");
  }
  void TearDown() override { log_set_clock(nullptr); }
  std::string log_text() { return read_file(folder_.file("vortel.dbg")); }

  WorkFolder folder_;
  hostsim::Host host_;  // takes the notice box
};

TEST_F(LogTest, RecordIsStampThenTextWithCrLf) {
  log_set_clock(fixed_clock);
  mrim_log("vortel: Starting.\n");
  EXPECT_EQ(log_text(), "07.12.2026 21:50:09 vortel: Starting.\r\n");
  char stamp[100];
  EXPECT_EQ(log_timestamp(stamp), 20u);
  EXPECT_STREQ(stamp, "07.12.2026 21:50:09 ");
}

TEST_F(LogTest, StampsUseLocalTimeWithLeadingZeros) {
  setenv("TZ", "UTC-3", 1);  // three hours east of UTC
  tzset();
  log_set_clock([] { return static_cast<time_t>(1767214861); });  // 2025-12-31 21:01:01 UTC
  char stamp[100];
  log_timestamp(stamp);
  EXPECT_STREQ(stamp, "01.01.2026 00:01:01 ");
}

TEST_F(LogTest, FormatsArgumentsAndAppends) {
  log_set_clock(fixed_clock);
  mrim_log("mrim_do_login: MRIM_CS_LOGIN2(%s,<pass>,%lu,%s) sended\n", "kim@example.org", 1ul, "client");
  mrim_log("two\nlines\n");
  EXPECT_EQ(log_text(),
            "07.12.2026 21:50:09 mrim_do_login: MRIM_CS_LOGIN2(kim@example.org,<pass>,1,client) sended\r\n"
            "07.12.2026 21:50:09 two\r\nlines\r\n");
}

TEST_F(LogTest, EmptyMessageWritesNothing) {
  mrim_log("%s", "");
  EXPECT_EQ(log_text(), "");
  mrim_log("x\n");
  mrim_log("%s", "");
  EXPECT_EQ(log_text().size(), 20u + 3u);
}

TEST_F(LogTest, LongMessageIsCutToTheBufferKeepingTheStamp) {
  log_set_clock(fixed_clock);
  std::string huge(70000, 'a');
  mrim_log("%s", huge.c_str());
  std::string text = log_text();
  // 65,536 bytes hold the stamp, the message and the terminator.
  ASSERT_EQ(text.size(), 65535u);
  EXPECT_EQ(text.substr(0, 20), "07.12.2026 21:50:09 ");
  EXPECT_EQ(text.find_first_not_of('a', 20), std::string::npos);
}

TEST_F(LogTest, DeletedFileIsCreatedAgain) {
  mrim_log("first\n");
  std::filesystem::remove(folder_.file("vortel.dbg"));
  mrim_log("second\n");
  std::string text = log_text();
  EXPECT_EQ(text.find("first"), std::string::npos);
  EXPECT_NE(text.find("second\r\n"), std::string::npos);
}

TEST_F(LogTest, UnwritableFileIsSilentlySkipped) {
  std::filesystem::create_directory(folder_.file("vortel.dbg"));  // a folder in the file's place
  mrim_log("lost\n");
  EXPECT_TRUE(std::filesystem::is_directory(folder_.file("vortel.dbg")));
}

TEST_F(LogTest, ConcurrentRecordsNeverInterleave) {
  constexpr int kThreads = 4;
  constexpr int kRecords = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      std::string line(300, static_cast<char>('A' + t));
      for (int i = 0; i < kRecords; ++i) mrim_log("%s\n", line.c_str());
    });
  }
  for (auto& thread : threads) thread.join();
  std::string text = log_text();
  size_t records = 0;
  for (size_t start = 0; start < text.size(); ++records) {
    size_t end = text.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    std::string body = text.substr(start + 20, end - start - 20);
    ASSERT_EQ(body.size(), 300u);
    EXPECT_EQ(body.find_first_not_of(body[0]), std::string::npos);
    start = end + 2;
  }
  EXPECT_EQ(records, static_cast<size_t>(kThreads * kRecords));
}

TEST(LogNotice, ShowsTheCyrillicNoticeWithTheModuleName) {
  WorkFolder folder;
  hostsim::Host host;
  log_init("chat");
  auto boxes = host.message_boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].title_utf8, "Отладка плагина MRIM");
  EXPECT_EQ(boxes[0].text_utf8,
            "Внимание! Отладочная версия. Будет создан Log-файл в каталоге, где находится исполняемый файл "
            "программы\nИмя файла - \"chat.dbg\"\n");
  EXPECT_EQ(boxes[0].type, 0x40u);  // information icon, OK button
  EXPECT_STREQ(log_file_path(), "chat.dbg");
}

}  // namespace
