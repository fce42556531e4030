// The station's record in the real ombrix: a fault the simulated amplifier
// raises (and clears) is in /api/events and the CSV, the history holds one
// sample a second, and the log on the card is whole after the stop.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "core/event_log.h"
#include "support/wait.h"
#include "support/web_panel_sim.h"

using namespace std::chrono_literals;
using webtest::PanelSim;
using webtest::SetCookie;

namespace {

// The number of values in the history's "forward" array.
int forwardCount(const std::string &json) {
  size_t at = json.find("\"forward\":[");
  if (at == std::string::npos) return -1;
  at += 11;
  size_t end = json.find(']', at);
  if (end == at) return 0;
  int n = 1;
  for (size_t i = at; i < end; ++i) n += json[i] == ',';
  return n;
}

TEST(StationRecord, FaultInEventsAndCsvHistoryEverySecond) {
  PanelSim p;
  ASSERT_TRUE(p.start()) << p.sim.out().text();
  auto client = p.client();
  httplib::SSLClient &cli = *client;
  std::string session;
  ASSERT_TRUE(WaitUntil(
      [&] {
        auto r = cli.Post("/api/login", p.headers(""), "password=" + p.phrase,
                          "application/x-www-form-urlencoded");
        if (r && r->status == 204)
          session = SetCookie(r, "ombrix_session").substr(sizeof "ombrix_session", 32);
        return !session.empty();
      },
      5s, 100ms));
  EXPECT_EQ(cli.Get("/api/events")->status, 401);
  EXPECT_EQ(cli.Get("/api/history")->status, 401);
  EXPECT_EQ(cli.Get("/api/events?after=x", p.headers(session, false))->status, 400);
  EXPECT_EQ(cli.Get("/api/history?seconds=0", p.headers(session, false))->status, 400);
  EXPECT_EQ(cli.Get("/api/history?seconds=86401", p.headers(session, false))->status, 400);

  auto events = [&](const char *query) {
    auto r = cli.Get(std::string("/api/events") + query, p.headers(session, false));
    return r && r->status == 200 ? r->body : std::string("(failed)");
  };
  const std::string first = events("");
  EXPECT_EQ(first.compare(0, 9, "[{\"id\":1,"), 0) << first;
  EXPECT_NE(first.find("\"kind\":\"start\""), std::string::npos) << first;
  EXPECT_NE(first.find("\"kind\":\"login\",\"via\":\"web\",\"address\":\"127.0.0.1\",\"ok\":true"),
            std::string::npos)
      << first;

  // A fault of the output stage (forward power) and its end.
  ASSERT_TRUE(p.sim.controlLine(p.root + "/sim/controller.ctl", "amp fault 4"));
  std::string seen;
  EXPECT_TRUE(WaitUntil(
      [&] {
        seen = events("?after=1");
        return seen.find("\"kind\":\"error\",\"code\":15,\"line1\":\"Error\",\"line2\":\"FWD\"") !=
               std::string::npos;
      },
      10s, 200ms))
      << seen;
  EXPECT_EQ(seen.find("\"id\":1,"), std::string::npos) << seen;  // only those after 1
  ASSERT_TRUE(p.sim.controlLine(p.root + "/sim/controller.ctl", "amp fault 0"));
  EXPECT_TRUE(WaitUntil(
      [&] {
        seen = events("?after=1");
        return seen.find("\"kind\":\"clear\",\"code\":15") != std::string::npos;
      },
      10s, 200ms))
      << seen;

  auto csv = cli.Get("/api/events.csv", p.headers(session, false));
  ASSERT_TRUE(csv);
  EXPECT_EQ(csv->status, 200);
  EXPECT_EQ(csv->body.compare(0, 21, "id,time,kind,detail\r\n"), 0) << csv->body;
  EXPECT_NE(csv->body.find(",error,\"code=15 line1=\"\"Error\"\" line2=\"\"FWD\"\"\"\r\n"),
            std::string::npos)
      << csv->body;

  // One sample a second: as many new ones as seconds went by.
  auto history = [&] {
    auto r = cli.Get("/api/history?seconds=3600", p.headers(session, false));
    return r && r->status == 200 ? r->body : std::string("(failed)");
  };
  const auto t0 = std::chrono::steady_clock::now();
  const std::string h0 = history();
  std::this_thread::sleep_for(3s);
  const std::string h1 = history();
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(h1.compare(0, 20, "{\"interval\":1,\"end\":"), 0) << h1;
  const int added = forwardCount(h1) - forwardCount(h0);
  EXPECT_GE(added, static_cast<int>(elapsed) - 1) << h0 << "\n" << h1;
  EXPECT_LE(added, static_cast<int>(elapsed) + 1) << h0 << "\n" << h1;
  for (const char *series : {"\"reflected\":[", "\"swr\":[", "\"temp1\":[", "\"temp2\":[",
                             "\"fan\":["})
    EXPECT_NE(h1.find(series), std::string::npos) << series;
  const std::string day = cli.Get("/api/history?seconds=86400", p.headers(session, false))->body;
  EXPECT_EQ(day.compare(0, 14, "{\"interval\":60"), 0) << day;

  // After the stop the file is whole, and its last event is the stop.
  p.sim.signal(SIGTERM);
  ASSERT_GE(p.sim.waitExit(30000ms), 0);
  std::ifstream in(p.root + kEventLogFile, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  int line = 0;
  std::string error;
  EXPECT_TRUE(CheckEventLogText(text.str(), &line, &error)) << line << ": " << error;
  EXPECT_NE(text.str().find("\tstop\n"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("\terror\tcode=15\t"), std::string::npos) << text.str();
}

}  // namespace
