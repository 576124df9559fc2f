// The process metrics' /proc parsing, on texts as the kernel writes them, and
// the collector over a made-up /proc.
#include "service/proc_self.h"

#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "service/process_collector.h"

#include "support/test_util.h"

namespace corvaneserver {
namespace {

// A forwarding server's stat line; the command name holds a blank and a ")".
constexpr char kStatLine[] =
    "4242 (corvane-sfu) x) S 1 4242 4242 0 -1 4194560 2830 0 0 0 1234 567 0 0 20 0 17 0 "
    "98765 371486720 5120 18446744073709551615 1 1 0 0 0 0 0 4096 17131 0 0 0 17 1 0 0 0 0 0\n";

constexpr char kSystemStat[] =
    "cpu  10 20 30 40 50 60 70 0 0 0\n"
    "intr 12345 0 0\n"
    "ctxt 999\n"
    "btime 1765180000\n"
    "processes 4321\n";

constexpr char kLimits[] =
    "Limit                     Soft Limit           Hard Limit           Units     \n"
    "Max cpu time              unlimited            unlimited            seconds   \n"
    "Max open files            65536                524288               files     \n"
    "Max locked memory         8388608              8388608              bytes     \n";

TEST(ProcSelfTest, StatFieldsCountFromTheLastParenthesis) {
  const std::optional<ProcStat> stat = ParseProcStat(kStatLine);
  ASSERT_TRUE(stat);
  EXPECT_EQ(stat->utime_ticks, 1234u);
  EXPECT_EQ(stat->stime_ticks, 567u);
  EXPECT_EQ(stat->threads, 17u);
  EXPECT_EQ(stat->start_ticks, 98765u);
  EXPECT_EQ(stat->virtual_bytes, 371486720u);
  EXPECT_EQ(stat->resident_pages, 5120u);
}

TEST(ProcSelfTest, StatWithoutNameOrCutShortIsRefused) {
  EXPECT_FALSE(ParseProcStat(""));
  EXPECT_FALSE(ParseProcStat("4242 corvane S 1 2 3"));
  EXPECT_FALSE(ParseProcStat("4242 (corvane) S 1 4242 4242 0 -1 4194560 2830 0 0 0 1234 567"));
  // A field that is no number.
  std::string bad = kStatLine;
  bad.replace(bad.find(" 1234 "), 6, " 12x4 ");
  EXPECT_FALSE(ParseProcStat(bad));
}

TEST(ProcSelfTest, BootTimeComesFromTheBtimeLine) {
  EXPECT_EQ(ParseBootTime(kSystemStat), 1765180000u);
  EXPECT_FALSE(ParseBootTime("cpu 1 2 3\nbtimex 5\n"));
  EXPECT_FALSE(ParseBootTime("btime soon\n"));
}

TEST(ProcSelfTest, MaxOpenFilesIsTheSoftLimit) {
  EXPECT_EQ(ParseMaxOpenFiles(kLimits), 65536u);
  EXPECT_EQ(ParseMaxOpenFiles("Max open files            unlimited            unlimited   files\n"),
            UINT64_MAX);
  EXPECT_FALSE(ParseMaxOpenFiles("Max cpu time   unlimited   unlimited   seconds\n"));
}

class FakeProcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_.File("self/fd"));
    testutil::WriteFile(dir_.File("self/stat"), kStatLine);
    testutil::WriteFile(dir_.File("stat"), kSystemStat);
    testutil::WriteFile(dir_.File("self/limits"), kLimits);
    // Three descriptors, plus the one the reader's own listing holds in a real /proc.
    for (const char* fd : {"0", "1", "2", "7"}) testutil::WriteFile(dir_.File("self/fd/") + fd, "");
  }
  testutil::TempDir dir_;
};

TEST_F(FakeProcTest, FiguresAreInSecondsAndBytes) {
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  const double page = static_cast<double>(::sysconf(_SC_PAGESIZE));
  const ProcessFigures figures = ReadProcessFigures(dir_.path());
  EXPECT_DOUBLE_EQ(*figures.cpu_seconds, (1234 + 567) / ticks);
  EXPECT_DOUBLE_EQ(*figures.resident_bytes, 5120 * page);
  EXPECT_DOUBLE_EQ(*figures.virtual_bytes, 371486720);
  EXPECT_DOUBLE_EQ(*figures.start_time_seconds, 1765180000 + 98765 / ticks);
  EXPECT_DOUBLE_EQ(*figures.threads, 17);
  EXPECT_DOUBLE_EQ(*figures.open_fds, 3);
  EXPECT_DOUBLE_EQ(*figures.max_fds, 65536);
}

TEST_F(FakeProcTest, CollectorNamesAndTypesAsPrometheusClients) {
  std::map<std::string, std::pair<prometheus::MetricType, double>> got;
  for (const prometheus::MetricFamily& family : ProcessCollector(dir_.path()).Collect()) {
    ASSERT_EQ(family.metric.size(), 1u) << family.name;
    EXPECT_FALSE(family.help.empty()) << family.name;
    const prometheus::ClientMetric& metric = family.metric[0];
    got[family.name] = {family.type, family.type == prometheus::MetricType::Counter
                                         ? metric.counter.value
                                         : metric.gauge.value};
  }
  using prometheus::MetricType;
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  EXPECT_EQ(got["process_cpu_seconds_total"],
            std::make_pair(MetricType::Counter, (1234 + 567) / ticks));
  EXPECT_EQ(got["process_threads"], std::make_pair(MetricType::Gauge, 17.0));
  EXPECT_EQ(got["process_max_fds"], std::make_pair(MetricType::Gauge, 65536.0));
  EXPECT_EQ(got["process_open_fds"], std::make_pair(MetricType::Gauge, 3.0));
  for (const char* name : {"process_virtual_memory_bytes", "process_resident_memory_bytes",
                           "process_start_time_seconds"}) {
    EXPECT_EQ(got[name].first, MetricType::Gauge) << name;
  }
  EXPECT_EQ(got.size(), 7u);
}

TEST_F(FakeProcTest, UnreadableFiguresAreLeftOutNotZero) {
  std::filesystem::remove(dir_.File("self/stat"));
  std::filesystem::remove(dir_.File("self/limits"));
  std::map<std::string, int> names;
  for (const prometheus::MetricFamily& family : ProcessCollector(dir_.path()).Collect()) {
    ++names[family.name];
  }
  EXPECT_EQ(names, (std::map<std::string, int>{{"process_open_fds", 1}}));
}

TEST(ProcSelfTest, ThisProcessReadsPlausibly) {
  const ProcessFigures figures = ReadProcessFigures();
  ASSERT_TRUE(figures.threads && figures.resident_bytes && figures.start_time_seconds &&
              figures.open_fds && figures.max_fds);
  EXPECT_GE(*figures.threads, 1);
  EXPECT_GT(*figures.resident_bytes, 0);
  EXPECT_GE(*figures.open_fds, 3);  // the standard streams at least
  const double now = static_cast<double>(::time(nullptr));
  EXPECT_LE(*figures.start_time_seconds, now + 1);
  EXPECT_GT(*figures.start_time_seconds, now - 86400 * 365);
}

}  // namespace
}  // namespace corvaneserver
