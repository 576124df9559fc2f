#include "service/configure.h"

#include <gtest/gtest.h>

#include "support/test_util.h"

namespace corvaneserver {
namespace {

class ConfigureTest : public ::testing::Test {
 protected:
  std::unique_ptr<Configure> Load(const std::string& text) {
    const std::string path = dir_.File("test.conf");
    testutil::WriteFile(path, text);
    return Configure::Create(path, "=", "#");
  }
  std::string Str(const Configure& c, const std::string& key) {
    std::string v = "<untouched>";
    c.Read(v, key);
    return v;
  }
  testutil::TempDir dir_;
};

TEST_F(ConfigureTest, MissingFileYieldsNull) {
  EXPECT_EQ(Configure::Create(dir_.File("absent.conf"), "=", "#"), nullptr);
  EXPECT_EQ(Configure::Create("", "=", "#"), nullptr);
}

TEST_F(ConfigureTest, EmptyFileAndFileWithoutSeparatorYieldEmptyMaps) {
  for (const char* text : {"", "just words\n[section]\n# comment\n\n"}) {
    auto c = Load(text);
    ASSERT_NE(c, nullptr);
    std::string s;
    EXPECT_FALSE(c->Read(s, "log_file_path"));
    EXPECT_FALSE(c->Has("just words"));
  }
}

TEST_F(ConfigureTest, ExampleFileReadsEveryKey) {
  auto c = Load(
      "log_file_path = /var/log/media/\n"
      "gateway_address = 10.0.0.5:9000|10.0.0.6:9000\n"
      "packet_listen_bgp_eth = eth0\n"
      "packet_listen_tel_eth = eth1\n"
      "packet_listen_port = 8000\n"
      "receiver_worker_numbers = 4\n"
      "dispatcher_worker_numbers = 4\n"
      "packet_statistics_interval_seconds = 60\n");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(Str(*c, "log_file_path"), "/var/log/media/");
  EXPECT_EQ(Str(*c, "gateway_address"), "10.0.0.5:9000|10.0.0.6:9000");
  EXPECT_EQ(Str(*c, "packet_listen_tel_eth"), "eth1");
  uint16_t port = 0;
  uint32_t port32 = 0;
  EXPECT_TRUE(c->Read(port, "packet_listen_port"));
  EXPECT_TRUE(c->Read(port32, "packet_listen_port"));
  EXPECT_EQ(port, 8000);
  EXPECT_EQ(port32, 8000u);
  uint32_t interval = 0;
  EXPECT_TRUE(c->Read(interval, "packet_statistics_interval_seconds"));
  EXPECT_EQ(interval, 60u);
}

TEST_F(ConfigureTest, SecondSeparatorBelongsToTheValue) {
  auto c = Load("a = b = c\n");
  // The whole value keeps its inner blanks; a string read takes the first word.
  EXPECT_EQ(Str(*c, "a"), "b");
  auto d = Load("a=b = c\nnext=1\n");
  EXPECT_EQ(Str(*d, "a"), "b");
}

TEST_F(ConfigureTest, CommentsAreCutEvenInsideValues) {
  auto c = Load("key = value # trailing comment\n# whole = line\nurl = a#b\n");
  EXPECT_EQ(Str(*c, "key"), "value");
  EXPECT_FALSE(c->Has("# whole"));
  EXPECT_FALSE(c->Has("whole"));
  EXPECT_EQ(Str(*c, "url"), "a");
}

TEST_F(ConfigureTest, LaterLineWins) {
  auto c = Load("port = 1\nport = 2\n");
  uint32_t v = 0;
  ASSERT_TRUE(c->Read(v, "port"));
  EXPECT_EQ(v, 2u);
}

TEST_F(ConfigureTest, StringReadStopsAtFirstBlank) {
  auto c = Load("log_file_path = /var/log/my logs/\n");
  EXPECT_EQ(Str(*c, "log_file_path"), "/var/log/my");
}

TEST_F(ConfigureTest, NumbersReadTheLeadingDecimalOnly) {
  auto c = Load("a = 12abc\nb = abc\nc = 0x10\nd = 65535\ne = 4000000000\n");
  uint32_t v = 99;
  ASSERT_TRUE(c->Read(v, "a"));
  EXPECT_EQ(v, 12u);
  ASSERT_TRUE(c->Read(v, "b"));
  EXPECT_EQ(v, 0u);
  ASSERT_TRUE(c->Read(v, "c"));
  EXPECT_EQ(v, 0u);
  uint16_t p = 1;
  ASSERT_TRUE(c->Read(p, "d"));
  EXPECT_EQ(p, 65535);
  ASSERT_TRUE(c->Read(v, "e"));
  EXPECT_EQ(v, 4000000000u);
}

TEST_F(ConfigureTest, EmptyNumberReadsAsAbsent) {
  auto c = Load("dispatcher_worker_numbers =\n\nlog_file_path =\n");
  uint32_t workers = 2;
  EXPECT_FALSE(c->Read(workers, "dispatcher_worker_numbers"));
  EXPECT_EQ(workers, 2u);
  EXPECT_TRUE(c->Has("dispatcher_worker_numbers"));
  std::string path = "x";
  EXPECT_TRUE(c->Read(path, "log_file_path"));
  EXPECT_EQ(path, "");
}

TEST_F(ConfigureTest, ContinuationLinesJoinWithLineFeedUntilBlankLine) {
  auto c = Load("key = first part\n  second part  \n\nother = 1\n");
  EXPECT_EQ(Str(*c, "key"), "first");
  uint32_t other = 0;
  EXPECT_TRUE(c->Read(other, "other"));
  EXPECT_EQ(other, 1u);
}

TEST_F(ConfigureTest, ContinuationEndsAtNextLineWithSeparator) {
  auto c = Load("gateway_address =\n127.0.0.1:9000\nlog_file_path = /tmp/\n");
  // A key alone on its line takes its value from the next one.
  EXPECT_EQ(Str(*c, "gateway_address"), "127.0.0.1:9000");
  EXPECT_EQ(Str(*c, "log_file_path"), "/tmp/");
}

TEST_F(ConfigureTest, CommentOnlyLineDoesNotEndAValue) {
  auto c = Load("port =\n# the port follows\n8000\n");
  uint32_t port = 0;
  ASSERT_TRUE(c->Read(port, "port"));
  EXPECT_EQ(port, 8000u);
}

TEST_F(ConfigureTest, ContinuationValueIsWholeTextTrimmed) {
  // The stored text is observable through a number read of a multi-line value.
  auto c = Load("n = 7 apples\n 9 pears \n\n");
  uint32_t n = 0;
  ASSERT_TRUE(c->Read(n, "n"));
  EXPECT_EQ(n, 7u);
  std::string s;
  ASSERT_TRUE(c->Read(s, "n"));
  EXPECT_EQ(s, "7");
}

TEST_F(ConfigureTest, CrLfFilesNeedNoSpecialHandling) {
  auto c = Load("log_file_path = /tmp/x/\r\n\r\nport = 9\r\ngateway_address =\r\n1.2.3.4:5\r\n");
  EXPECT_EQ(Str(*c, "log_file_path"), "/tmp/x/");
  uint32_t port = 0;
  ASSERT_TRUE(c->Read(port, "port"));
  EXPECT_EQ(port, 9u);
  EXPECT_EQ(Str(*c, "gateway_address"), "1.2.3.4:5");
}

TEST_F(ConfigureTest, KeysAreCaseSensitiveAndEmptyKeyIsStored) {
  auto c = Load("Log_File_Path = /tmp/\n= lonely\n");
  std::string s;
  EXPECT_FALSE(c->Read(s, "log_file_path"));
  EXPECT_TRUE(c->Read(s, "Log_File_Path"));
  EXPECT_EQ(Str(*c, ""), "lonely");
}

TEST_F(ConfigureTest, LastLineWithoutNewline) {
  auto c = Load("a = 1\nb = 2");
  uint32_t b = 0;
  ASSERT_TRUE(c->Read(b, "b"));
  EXPECT_EQ(b, 2u);
}

TEST(ConfigureTrimTest, TrimsTheWhitespaceSet) {
  std::string s = " \t\v\f\r\nvalue \r\n";
  Configure::Trim(s);
  EXPECT_EQ(s, "value");
  s = " \t \r ";
  Configure::Trim(s);
  EXPECT_EQ(s, "");
}

}  // namespace
}  // namespace corvaneserver
