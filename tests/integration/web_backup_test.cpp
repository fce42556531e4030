// Backup and restore through the web panel of the real ombrix: the backup
// holds the station's files and a MANIFEST that matches them; hostile
// archives are refused with their first problem and change nothing; a
// backup changed in one value brings that value back, and the program
// starts again in the same process to take it in.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "support/sim_harness.h"
#include "support/wait.h"
#include "support/web_client.h"
#include "support/web_panel_sim.h"
#include "web/set_files.h"

using namespace std::chrono_literals;
using webtest::PanelSim;

namespace {

using Files = std::map<std::string, std::string>;

Files unpack(const std::string &gz) {
  Files files;
  struct archive *a = archive_read_new();
  archive_read_support_filter_gzip(a);
  archive_read_support_format_tar(a);
  if (archive_read_open_memory(a, gz.data(), gz.size()) == ARCHIVE_OK) {
    archive_entry *e = nullptr;
    while (archive_read_next_header(a, &e) == ARCHIVE_OK) {
      std::string bytes;
      char buf[8192];
      la_ssize_t n;
      while ((n = archive_read_data(a, buf, sizeof buf)) > 0) bytes.append(buf, n);
      files[archive_entry_pathname(e)] = bytes;
    }
  }
  archive_read_free(a);
  return files;
}

la_ssize_t append(struct archive *, void *out, const void *p, size_t n) {
  static_cast<std::string *>(out)->append(static_cast<const char *>(p), n);
  return static_cast<la_ssize_t>(n);
}

// The files (and entries of other types where type says) as a .tar.gz.
std::string pack(const Files &files, const std::map<std::string, unsigned> &types = {}) {
  std::string out;
  struct archive *a = archive_write_new();
  archive_write_set_format_ustar(a);
  archive_write_add_filter_gzip(a);
  archive_write_open(a, &out, nullptr, append, nullptr);
  for (const auto &[name, bytes] : files) {
    archive_entry *e = archive_entry_new();
    auto t = types.find(name);
    unsigned type = t == types.end() ? AE_IFREG : t->second;
    archive_entry_set_pathname(e, name.c_str());
    archive_entry_set_filetype(e, type);
    archive_entry_set_perm(e, 0644);
    if (type == AE_IFLNK) archive_entry_set_symlink(e, "/etc/shadow");
    archive_entry_set_size(e, type == AE_IFREG ? static_cast<la_int64_t>(bytes.size()) : 0);
    archive_write_header(a, e);
    if (type == AE_IFREG) archive_write_data(a, bytes.data(), bytes.size());
    archive_entry_free(e);
  }
  archive_write_close(a);
  archive_write_free(a);
  return out;
}

std::string sha256(const std::string &bytes) {
  unsigned char d[32];
  unsigned n = 0;
  EVP_Digest(bytes.data(), bytes.size(), d, &n, EVP_sha256(), nullptr);
  return webtest::Hex(d, n);
}

std::string manifestOf(const Files &files) {
  std::string m;
  for (const auto &[name, bytes] : files)
    if (name != "MANIFEST" && name != "BACKUP-INFO") m += sha256(bytes) + "  " + name + "\n";
  return m;
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
  Files got = unpack(backup->body);
  const Files card = onCard(p.root);
  for (const char *name : {"setup.txt", "antenna.txt", "remote.txt", "web-cert.pem", "web-key.pem"})
    EXPECT_EQ(card.count(name), 1u) << name << " not on the card";
  for (const auto &[name, bytes] : card) {
    ASSERT_EQ(got.count(name), 1u) << name << " not in the backup";
    EXPECT_EQ(got[name], bytes) << name;
  }
  ASSERT_EQ(got.count("MANIFEST"), 1u);
  EXPECT_EQ(sortedLines(got["MANIFEST"]), manifestOf(card));
  EXPECT_NE(got["BACKUP-INFO"].find("version 00."), std::string::npos) << got["BACKUP-INFO"];

  // Hostile archives: each refused with its first problem, nothing changed.
  auto restore = [&](const std::string &body, bool origin = true) {
    return cli.Post("/api/restore", p.headers(session, origin), body, "application/gzip");
  };
  Files badLine = {{"antenna.txt", "!Gen\n40m 7000000 7300000 1 9 0 0 10.0\n"}};
  badLine["MANIFEST"] = manifestOf(badLine);
  Files dotDot = {{"../antenna.txt", "x\n"}};
  dotDot["MANIFEST"] = manifestOf(dotDot);
  Files link = {{"antenna.txt", ""}, {"MANIFEST", ""}};
  Files device = link;
  Files wrongSum = {{"filter.txt", card.count("filter.txt") ? card.at("filter.txt") : "1 2 1\n"}};
  wrongSum["MANIFEST"] = std::string(64, '0') + "  filter.txt\n";
  Files bomb = {{"events.log", std::string(32 << 20, '\n')}};
  bomb["MANIFEST"] = manifestOf(bomb);
  const struct {
    std::string body;
    std::string json;
  } hostile[] = {
      {pack(badLine),
       R"({"file": "antenna.txt", "line": 2, "error": "line 2: antenna 9 out of range, antenna left as it is"})"},
      {pack(dotDot),
       R"({"file": "../antenna.txt", "line": null, "error": "not a flat file name"})"},
      {pack(link, {{"antenna.txt", AE_IFLNK}}),
       R"({"file": "antenna.txt", "line": null, "error": "not a regular file"})"},
      {pack(device, {{"antenna.txt", AE_IFBLK}}),
       R"({"file": "antenna.txt", "line": null, "error": "not a regular file"})"},
      {pack(wrongSum),
       R"({"file": "filter.txt", "line": null, "error": "checksum does not match MANIFEST"})"},
      {pack(bomb), R"({"file": "events.log", "line": null, "error": "larger than 5242880 bytes"})"},
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
    EXPECT_EQ(webtest::Status(c.answer()), 413);
  }
  // Other routes keep their small limit.
  EXPECT_EQ(fresh("/api/key", p.headers(session), std::string(8000, 'k')), 413);
  EXPECT_EQ(onCard(p.root), card);

  // The backup with one value changed: the 40 m band's power. The program
  // starts again in place (same process) on the restored files.
  Files changed = got;
  std::string &bands = changed["antenna.txt"];
  size_t at = bands.find("\n40m ");
  ASSERT_NE(at, std::string::npos) << bands;
  size_t end = bands.find('\n', at + 1);
  size_t last = bands.rfind(' ', end);
  bands.replace(last + 1, end - last - 1, "42.5");
  changed["MANIFEST"] = manifestOf(changed);
  const size_t before = p.sim.out().size();
  auto done = restore(pack(changed));
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
  Files after = unpack(second->body);
  EXPECT_EQ(after["antenna.txt"], bands);
  EXPECT_EQ(readFile(p.root + "/opt/set/antenna.txt"), bands);
}

}  // namespace
