// The event log's file: the strict check a restore relies on, the reading
// at start that drops a torn tail, the bound, refusals counted per address,
// and the trends' ring and minute averages.
#include "core/event_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "core/file_writer.h"
#include "core/trends.h"
#include "support/temp_root.h"
#include "web/web_events.h"

namespace {

const std::string kHead = kEventLogHeader;
const std::string kLine1 = "1\t2026-12-08T16:00:00Z\terror\tcode=15\tline1=\"Error\"\tline2=\"FWD\"\n";
const std::string kLine2 = "2\t2026-12-08T16:00:01Z\tclear\tcode=15\n";

TEST(EventLogText, StrictCheck) {
  struct Row {
    std::string text;
    int line;  // 0: accepted
    const char *error;
  } rows[] = {
      {kHead, 0, ""},
      {kHead + kLine1 + kLine2, 0, ""},
      {"", 1, "header"},
      {"# other 1\n" + kLine1, 1, "header"},
      {kHead + kLine1 + "2\t2026-12-08T16:00:01Z\tcle", 3, "not ended"},
      {kHead + kLine2 + kLine1, 3, "id not above"},
      {kHead + kLine1 + kLine1, 3, "id not above"},
      {kHead + "0\t2026-12-08T16:00:00Z\tstart\n", 2, "bad id"},
      {kHead + "01\t2026-12-08T16:00:00Z\tstart\n", 2, "bad id"},
      {kHead + "1\t2026-02-30T16:00:00Z\tstart\n", 2, "bad time"},
      {kHead + "1\t2026-12-08 16:00:00Z\tstart\n", 2, "bad time"},
      {kHead + "1\t2026-12-08T16:00:00Z\treboot\n", 2, "unknown kind"},
      {kHead + "1\t2026-12-08T16:00:00Z\n", 2, "too few"},
      {kHead + "1\t2026-12-08T16:00:00Z\tstart\tversion\n", 2, "without '='"},
      {kHead + "1\t2026-12-08T16:00:00Z\tstart\tVersion=1\n", 2, "field name"},
      {kHead + "1\t2026-12-08T16:00:00Z\tstart\tv=1.\n", 2, "bad value"},
      {kHead + "1\t2026-12-08T16:00:00Z\tstart\tv=yes\n", 2, "bad value"},
      {kHead + "1\t2026-12-08T16:00:00Z\tstart\tv=\"a%G0\"\n", 2, "bad escape"},
      {kHead + "1\t2026-12-08T16:00:00Z\tstart\tv=\"a%4\"\n", 2, "bad escape"},
      {kHead + "1\t2026-12-08T16:00:00Z\tstart\tv=\"a\n", 2, "not closed"},
      {kHead + "1\t2026-12-08T16:00:00Z\tstart\tv=\"\n", 2, "not closed"},
      {kHead + "1\t2026-12-08T16:00:00Z\tstart\tv=\"a\"b\"\n", 2, "unescaped"},
      {kHead + "1\t2026-12-08T16:00:00Z\tstart\tv=\"a\x01\"\n", 2, "unescaped"},
      {kHead + "1\t2026-12-08T16:00:00Z\tstart\tv=1\r\n", 2, "bad value"},
      {kHead + "1\t2026-12-08T16:00:00Z\tstart\tv=1\tv=2\n", 2, "twice"},
      {kHead + "1\t2026-12-08T16:00:00Z\tstart\tv=\"" + std::string(81, 'a') + "\"\n", 2,
       "too long"},
      {kHead + "1\t2026-12-08T16:00:00Z\tstart\tv=\"" + std::string(1100, 'a') + "\"\n", 2,
       "line too long"},
  };
  for (const Row &r : rows) {
    int line = 0;
    std::string error;
    const bool ok = CheckEventLogText(r.text, &line, &error);
    EXPECT_EQ(ok, r.line == 0) << r.text;
    if (r.line == 0) continue;
    EXPECT_EQ(line, r.line) << r.text;
    EXPECT_NE(error.find(r.error), std::string::npos) << error << " for " << r.text;
  }
}

TEST(EventLogText, AnyTextSurvivesTheFileJsonAndCsv) {
  Event e;
  e.id = 7;
  e.time = 1796745600;  // 2026-12-08T16:00:00Z
  e.kind = "login";
  const std::string odd = "a\tb\nc%d\"e\\f\x7f";
  e.fields = {EventField("address", odd), EventField("ok", false), EventField("count", 3)};
  const std::string line = FormatEventLine(e);
  int bad = 0;
  std::string error;
  ASSERT_TRUE(CheckEventLogText(kHead + line, &bad, &error)) << error << line;
  Event back;
  ASSERT_TRUE(ParseEventLine(line.substr(0, line.size() - 1), &back, &error)) << error;
  ASSERT_EQ(back.fields.size(), 3u);
  EXPECT_EQ(back.fields[0].value, odd);
  EXPECT_EQ(EventJson(back),
            "{\"id\":7,\"time\":\"2026-12-08T16:00:00Z\",\"kind\":\"login\",\"address\":"
            "\"a\\u0009b\\u000ac%d\\\"e\\\\f\\u007f\",\"ok\":false,\"count\":3}");
  EXPECT_EQ(EventCsvRow(back).substr(0, 32), "7,2026-12-08T16:00:00Z,login,\"ad");
  EXPECT_NE(EventCsvRow(back).find("\"\"e\\f"), std::string::npos) << EventCsvRow(back);
  // Near-zero readings lose their sign, not a value.
  EXPECT_EQ(EventField("swr", -0.001, 2).value, "0.00");
  EXPECT_EQ(EventField("swr", 1.456, 2).value, "1.46");
}

struct LogRoot {
  TempRoot root{access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp"};
  // A remount that costs no shell.
  LogRoot() {
    std::filesystem::copy_file("/bin/true", root.path("/bin/mount"),
                               std::filesystem::copy_options::overwrite_existing);
  }
  std::string text() const { return root.readFile(kEventLogFile); }
  bool strict(int *line = nullptr, std::string *error = nullptr) const {
    int l = 0;
    std::string e;
    return CheckEventLogText(text(), line ? line : &l, error ? error : &e);
  }
};

TEST(EventLogFile, ATornTailIsDroppedAtStartAndIdsGoOn) {
  LogRoot r;
  r.root.writeFile(kEventLogFile, kHead + kLine1 + kLine2 + "3\t2026-12-08T16:0");
  EventLog log;
  log.Open();
  EXPECT_EQ(log.lastId(), 2u);
  EXPECT_EQ(r.text(), kHead + kLine1 + kLine2);
  log.Record("start", {EventField("version", "v1")}, 1796745700);
  log.Flush(0, 1796745700);
  std::string error;
  EXPECT_TRUE(r.strict(nullptr, &error)) << error << r.text();
  EXPECT_NE(r.text().find("\n3\t2026-12-08T16:01:40Z\tstart\tversion=\"v1\"\n"), std::string::npos);
  // The panel reads the newest from memory, including those read at start.
  auto after1 = log.After(1, 10);
  ASSERT_EQ(after1.size(), 2u);
  EXPECT_EQ(after1[0].id, 2u);
  EXPECT_EQ(log.After(0, 1).at(0).id, 3u);
}

TEST(EventLogFile, AFileNotWrittenHereIsBegunAgain) {
  LogRoot r;
  r.root.writeFile(kEventLogFile, "some\nother\ntext\n");
  EventLog log;
  log.Open();
  EXPECT_EQ(log.lastId(), 0u);
  EXPECT_EQ(r.text(), kHead);
}

TEST(EventLogFile, OneAppendPerFlushAndTheOldestHalfDroppedPastTheBound) {
  LogRoot r;
  EventLog::Limits limits;
  limits.maxBytes = 4000;
  EventLog log(kEventLogFile, limits);
  log.Open();
  log.Flush(0, 0);
  EXPECT_EQ(log.batches(), 0u);  // nothing to write, nothing written
  size_t largest = 0;
  for (int batch = 0; batch < 40; ++batch) {
    for (int i = 0; i < 5; ++i)
      log.Record("tune", {EventField("frequency", 7074000), EventField("band", "40m"),
                          EventField("swr", 1.2, 2), EventField("stored", true)},
                 1796745600 + batch);
    log.Flush(0, 1796745600 + batch);
    largest = std::max(largest, r.text().size());
  }
  EXPECT_EQ(log.batches(), 40u);
  EXPECT_LE(largest, limits.maxBytes);
  EXPECT_GT(r.text().size(), limits.maxBytes / 2 - 200);
  std::string error;
  int line = 0;
  EXPECT_TRUE(r.strict(&line, &error)) << line << ": " << error;
  // The newest survive, the oldest went.
  EXPECT_NE(r.text().find("\n200\t"), std::string::npos);
  EXPECT_EQ(r.text().find("\n1\t"), std::string::npos);
  // The CSV is the file's events, one row each.
  const std::string csv = log.Csv();
  EXPECT_EQ(csv.compare(0, sizeof kEventCsvHeader - 1, kEventCsvHeader), 0);
  EXPECT_NE(csv.find("\r\n200,2026-12-08T16:00:39Z,tune,\"frequency=7074000 band=\"\"40m\"\""),
            std::string::npos);
}

TEST(EventLogFile, RefusalsMakeOneEventPerAddressAndMinute) {
  LogRoot r;
  EventLog::Limits limits;
  limits.refusalAddresses = 2;
  EventLog log(kEventLogFile, limits);
  log.Open();
  for (int i = 0; i < 100; ++i) log.Refused("192.0.2.1", "web", 1000 + i);
  log.Refused("192.0.2.2", "link", 2000);
  // Past the addresses kept: the newcomers share one count.
  log.Refused("192.0.2.3", "web", 3000);
  log.Refused("192.0.2.4", "web", 3000);
  log.Flush(60999, 1796745600);
  EXPECT_EQ(log.lastId(), 0u);  // no window ended yet
  log.Flush(61000, 1796745660);
  auto first = log.After(0, 10);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(EventJson(first[0]),
            "{\"id\":1,\"time\":\"2026-12-08T16:01:00Z\",\"kind\":\"login\",\"via\":\"web\","
            "\"address\":\"192.0.2.1\",\"ok\":false,\"count\":100}");
  // At the stop every count is written.
  log.Flush(61000, 1796745660, true);
  auto rest = log.After(1, 10);
  ASSERT_EQ(rest.size(), 2u);
  std::string all;
  for (const Event &e : rest) all += EventJson(e);
  EXPECT_NE(all.find("\"via\":\"link\",\"address\":\"192.0.2.2\",\"ok\":false,\"count\":1"),
            std::string::npos);
  EXPECT_NE(all.find("\"address\":\"*\",\"ok\":false,\"count\":2"), std::string::npos);
  // The next refusal of that address opens a window of its own.
  log.Refused("192.0.2.1", "web", 61500);
  log.Flush(121499, 1796745720);
  EXPECT_EQ(log.lastId(), 3u);
  log.Flush(121500, 1796745720);
  ASSERT_EQ(log.lastId(), 4u);
  EXPECT_NE(EventJson(log.After(3, 1)[0]).find("\"address\":\"192.0.2.1\",\"ok\":false,\"count\":1"),
            std::string::npos);
  EXPECT_TRUE(r.strict());
}

TEST(Trends, SecondsRingAndMinuteAverages) {
  Trends t;
  EXPECT_EQ(t.Json(10),
            "{\"interval\":1,\"end\":null,\"forward\":[],\"reflected\":[],\"swr\":[],\"temp1\":[],"
            "\"temp2\":[],\"fan\":[]}");
  for (int i = 0; i < 3700; ++i) {
    TrendSample s;
    s.forward = static_cast<float>(i);
    s.swr = 1.5f;
    s.fan = 40;
    t.Add(s, 1796745600 + i);
  }
  EXPECT_EQ(t.seconds(), static_cast<size_t>(kTrendSeconds));
  const std::string last3 = t.Json(3);
  EXPECT_NE(last3.find("\"interval\":1,\"end\":\"2026-12-08T17:01:39Z\""), std::string::npos)
      << last3;
  EXPECT_NE(last3.find("\"forward\":[3697.0,3698.0,3699.0]"), std::string::npos) << last3;
  EXPECT_NE(last3.find("\"swr\":[1.50,1.50,1.50]"), std::string::npos) << last3;
  EXPECT_NE(last3.find("\"fan\":[40,40,40]"), std::string::npos) << last3;
  // Whole minutes only: 3700 samples make 61 of them.
  EXPECT_EQ(t.minutes(), 61u);
  const std::string overAnHour = t.Json(3601);
  EXPECT_NE(overAnHour.find("\"interval\":60,\"end\":\"2026-12-08T17:00:59Z\""),
            std::string::npos)
      << overAnHour;
  EXPECT_NE(overAnHour.find("\"forward\":[29.5,89.5,"), std::string::npos) << overAnHour;
  EXPECT_NE(overAnHour.find(",3569.5,3629.5],"), std::string::npos) << overAnHour;
  EXPECT_EQ(t.Json(kMaxHistorySeconds), overAnHour);
}

TEST(WebEvents, QueryCounts) {
  struct Row {
    const char *text;
    uint64_t max;
    bool ok;
    uint64_t value;
  } rows[] = {{"0", 10, true, 0},          {"10", 10, true, 10},  {"11", 10, false, 0},
              {"", 10, false, 0},          {"-1", 10, false, 0},  {"1e3", 5000, false, 0},
              {"0010", 10, true, 10},      {" 1", 10, false, 0},
              {"99999999999999999999", ~0ULL, false, 0}};
  for (const Row &r : rows) {
    uint64_t v = 0;
    EXPECT_EQ(ParseQueryCount(r.text, r.max, &v), r.ok) << r.text;
    if (r.ok) {
      EXPECT_EQ(v, r.value) << r.text;
    }
  }
}

}  // namespace
