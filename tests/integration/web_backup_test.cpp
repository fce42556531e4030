// Backup and restore through the web panel of the real ombrix: the backup
// holds the station's files and a MANIFEST that matches them; hostile
// archives are refused with their first problem and change nothing; a
// backup changed in one value brings that value back, and the program
// starts again in the same process to take it in.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "support/sim_harness.h"
#include "support/tar_gz.h"
#include "support/wait.h"
#include "support/web_client.h"
#include "support/web_panel_sim.h"
#include "web/set_files.h"

using namespace std::chrono_literals;
using webtest::PanelSim;

namespace {

using Files = std::map<std::string, std::string>;

using tartest::Entry;
using tartest::Pack;
using tartest::Unpack;

// The manifest of the files, as sha256sum writes it (name order).
std::string manifestOf(const Files &files) {
  std::string m;
  for (const auto &[name, bytes] : files)
    if (name != "MANIFEST" && name != "BACKUP-INFO")
      m += tartest::Sha256(bytes) + "  " + name + "\n";
  return m;
}

// The files as archive entries (MANIFEST made by Pack).
std::vector<Entry> entriesOf(const Files &files) {
  std::vector<Entry> entries;
  for (const auto &[name, bytes] : files)
    if (name != "MANIFEST" && name != "BACKUP-INFO") entries.push_back({name, bytes});
  return entries;
}

// A manifest's lines in name order.
std::string sortedLines(const std::string &text) {
  std::map<std::string, std::string> byName;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) byName[line.substr(66)] = line + "\n";
  std::string out;
  for (const auto &[name, line] : byName) out += line;
  return out;
}

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Every known file on the card, as it stands.
Files onCard(const std::string &root) {
  Files files;
  for (const KnownSetFile &f : KnownSetFiles()) {
    std::string path = root + "/opt/set/" + f.name;
    if (access(path.c_str(), F_OK) == 0) files[f.name] = readFile(path);
  }
  return files;
}

// The card without the event log, which grows on its own (every login and
// band change appends to it).
Files settled(Files files) {
  files.erase("events.log");
  return files;
}

std::string login(PanelSim &p, httplib::SSLClient &cli) {
  std::string session;
  WaitUntil(
      [&] {
        auto r = cli.Post("/api/login", p.headers(""), "password=" + p.phrase,
                          "application/x-www-form-urlencoded");
        if (r && r->status == 204) {
          std::string c = webtest::SetCookie(r, "ombrix_session");
          session = c.substr(c.find('=') + 1, 32);
          return true;
        }
        return false;
      },
      10s, 200ms);
  return session;
}

TEST(WebBackup, BackupHoldsTheFilesRestoreRefusesHostileAndBringsBackAValue) {
  PanelSim p;
  ASSERT_TRUE(p.startPanel()) << p.sim.out().text();
  // The start-up has written what it writes; the card is what is backed up.
  ASSERT_GE(p.sim.out().waitForText("!!!mykivo", 40s), 0) << p.sim.out().text();
  auto client = p.client();
  httplib::SSLClient &cli = *client;
  EXPECT_EQ(cli.Get("/api/backup")->status, 401);
  const std::string session = login(p, cli);
  ASSERT_FALSE(session.empty());

  auto backup = cli.Get("/api/backup", p.headers(session, false));
  ASSERT_TRUE(backup) << p.sim.out().text();
  ASSERT_EQ(backup->status, 200);
  const std::string disposition = backup->get_header_value("Content-Disposition");
  EXPECT_NE(disposition.find("filename=\"ombrix-"), std::string::npos) << disposition;
  EXPECT_NE(disposition.find(".tar.gz\""), std::string::npos) << disposition;
  Files got = Unpack(backup->body);
  const Files card = onCard(p.root);
  for (const char *name : {"setup.txt", "antenna.txt", "remote.txt", "web-cert.pem", "web-key.pem"})
    EXPECT_EQ(card.count(name), 1u) << name << " not on the card";
  // The unit's own key and certificate are the owner's alone.
  for (const char *name : {"web-cert.pem", "web-key.pem"}) {
    struct stat st = {};
    EXPECT_EQ(stat((p.root + "/opt/set/" + name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
  }
  for (const auto &[name, bytes] : card) {
    ASSERT_EQ(got.count(name), 1u) << name << " not in the backup";
    if (name == "events.log")
      EXPECT_EQ(bytes.compare(0, got[name].size(), got[name]), 0) << "events.log: " << got[name];
    else
      EXPECT_EQ(got[name], bytes) << name;
  }
  ASSERT_EQ(got.count("MANIFEST"), 1u);
  Files backedUp = card;
  backedUp["events.log"] = got["events.log"];
  EXPECT_EQ(sortedLines(got["MANIFEST"]), manifestOf(backedUp));
  EXPECT_NE(got["BACKUP-INFO"].find("version 00."), std::string::npos) << got["BACKUP-INFO"];

  // Hostile archives: each refused with its first problem, nothing changed.
  auto restore = [&](const std::string &body, bool origin = true) {
    return cli.Post("/api/restore", p.headers(session, origin), body, "application/gzip");
  };
  const std::string filter = card.count("filter.txt") ? card.at("filter.txt") : "1 2 1\n";
  const struct {
    std::string body;
    std::string json;
  } hostile[] = {
      {Pack({{"antenna.txt", "!Gen\n40m 7000000 7300000 1 9 0 0 10.0\n"}}),
       R"({"file": "antenna.txt", "line": 2, "error": "line 2: antenna 9 out of range, antenna left as it is"})"},
      {Pack({{"../antenna.txt", "x\n"}}),
       R"({"file": "../antenna.txt", "line": null, "error": "not a flat file name"})"},
      {Pack({{"antenna.txt", "", AE_IFLNK}}),
       R"({"file": "antenna.txt", "line": null, "error": "not a regular file"})"},
      {Pack({{"antenna.txt", "", AE_IFBLK}}),
       R"({"file": "antenna.txt", "line": null, "error": "not a regular file"})"},
      {Pack({{"filter.txt", filter}}, std::string(64, '0') + "  filter.txt\n"),
       R"({"file": "filter.txt", "line": null, "error": "checksum does not match MANIFEST"})"},
      {Pack({{"events.log", std::string(32 << 20, '\n')}}),
       R"({"file": "events.log", "line": null, "error": "larger than 5242880 bytes"})"},
  };
  for (const auto &h : hostile) {
    auto r = restore(h.body);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400);
    EXPECT_EQ(r->body, h.json);
  }
  // Session and origin come first, and an archive over 16 MiB is refused
  // from its length, before its body.
  // A refusal before the body closes the connection: a new one each, and
  // again when the address's connection rate refused one.
  auto fresh = [&](const std::string &path, const httplib::Headers &h, const std::string &body) {
    int status = -1;
    WaitUntil(
        [&] {
          auto r = p.client()->Post(path, h, body, "application/octet-stream");
          status = r ? r->status : -1;
          return static_cast<bool>(r);
        },
        5s, 300ms);
    return status;
  };
  EXPECT_EQ(fresh("/api/restore", p.headers("", true), "x"), 401);
  EXPECT_EQ(fresh("/api/restore", p.headers(session, false), "x"), 403);
  {
    webtest::RawConn c;
    ASSERT_TRUE(c.connectTls(p.port, p.fingerprint));
    ASSERT_TRUE(c.send("POST /api/restore HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(p.port) +
                       "\r\nOrigin: " + p.origin() + "\r\nCookie: ombrix_session=" + session +
                       "\r\nContent-Length: 16777217\r\n\r\n"));
    const std::string answer = c.answer();
    EXPECT_EQ(webtest::Status(answer), 413);
    EXPECT_NE(answer.find("larger than 16 MiB"), std::string::npos) << answer;
  }
  // Other routes keep their small limit.
  EXPECT_EQ(fresh("/api/key", p.headers(session), std::string(8000, 'k')), 413);
  EXPECT_EQ(settled(onCard(p.root)), settled(card));

  // The backup with one value changed: the 40 m band's power. The program
  // starts again in place (same process) on the restored files.
  Files changed = got;
  std::string &bands = changed["antenna.txt"];
  size_t at = bands.find("\n40m ");
  ASSERT_NE(at, std::string::npos) << bands;
  size_t end = bands.find('\n', at + 1);
  size_t last = bands.rfind(' ', end);
  bands.replace(last + 1, end - last - 1, "42.5");
  const size_t before = p.sim.out().size();
  auto done = restore(Pack(entriesOf(changed)));
  ASSERT_TRUE(done);
  ASSERT_EQ(done->status, 204) << done->body;
  ASSERT_GE(p.sim.out().waitForText("Web panel on http", 60s, before), 0) << p.sim.out().text();
  EXPECT_EQ(webtest::ChildNamed(p.sim.pid(), "ombrix"), p.app);
  EXPECT_GE(p.sim.out().waitForText("START Main", 1s, before), 0);
  // The band tables are read before the panel starts: the program has the
  // value and keeps it, and the next backup holds it.
  auto after2 = p.client();
  const std::string again = login(p, *after2);
  ASSERT_FALSE(again.empty());
  auto second = after2->Get("/api/backup", p.headers(again, false));
  ASSERT_TRUE(second);
  Files after = Unpack(second->body);
  EXPECT_EQ(after["antenna.txt"], bands);
  EXPECT_EQ(readFile(p.root + "/opt/set/antenna.txt"), bands);
}

}  // namespace
