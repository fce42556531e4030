// The station's side of the unit link as a stranger on the internet tries it,
// against the real program on loopback: silent peers that keep reconnecting,
// pass phrases guessed from many source addresses (127.1.x.y), a flood of
// handshakes for the log, and, once past the pass phrase, an image header
// that announces a huge picture and an empty CAT frame. Each attack must
// fail harmlessly; the figures go to the test's output.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "jpeg/jpeg.h"
#include "remote/websocket.h"
#include "support/link_sims.h"
#include "support/remote_peer.h"
#include "support/sim_harness.h"
#include "support/test_thread.h"
#include "support/wait.h"

using namespace std::chrono_literals;
using simtest::ControllerSim;
using simtest::NebSim;
using simtest::OmbrixProcess;
using simtest::Peer;
using simtest::SimRoot;
using Clock = std::chrono::steady_clock;

namespace {

const char kPassword[] = "station-pass-7";
const char kKey[] = "x3JJHMbDL1EzLkh9GBhXDw==";

long long msSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Lines of the log from `from` on that contain text.
int countLines(const simtest::LineLog &log, const std::string &text, size_t from) {
  int n = 0;
  for (const std::string &l : log.lines(from)) n += l.find(text) != std::string::npos;
  return n;
}

// A station with its controller: launched, then listening.
struct Station {
  SimRoot root;
  ControllerSim ctl;
  OmbrixProcess app;
  int port = simtest::FreePort();
  bool launch(bool cat = false) {
    if (!root.ok()) return false;
    simtest::PrepareRemoteUnit(root, '1', port, kPassword, cat);
    return ctl.start(root) && app.start(root);
  }
  bool listening() { return app.out().waitForText("Listening on port", 60s) >= 0; }
  bool start(bool cat = false) { return launch(cat) && listening(); }
};

// An operator unit of the station's.
struct Operator {
  SimRoot root;
  ControllerSim ctl;
  OmbrixProcess app;
  bool start(int port, const char *password = kPassword) {
    if (!root.ok()) return false;
    simtest::PrepareRemoteUnit(root, '2', port, password, false);
    return ctl.start(root) && app.start(root);
  }
};

}  // namespace

TEST(RemoteLinkAttack, SilentReconnectingPeersDoNotKeepTheOperatorOut) {
  // Both units start together; the operator unit retries every 2 s until
  // the station listens, and the silent peers are there first.
  Station station;
  Operator op;
  ASSERT_TRUE(station.launch());
  ASSERT_TRUE(op.start(station.port));
  ASSERT_TRUE(station.listening()) << station.app.out().text();
  const auto t0 = Clock::now();
  // Two peers that connect, say nothing, and connect again when closed.
  std::atomic<bool> stop{false};
  std::atomic<int> connects{0};
  auto silent = [&] {
    while (!stop) {
      Peer p(station.port, nullptr, 1);
      if (!p.ok()) continue;
      ++connects;
      while (!stop && !p.closedWithin(200ms)) {
      }
    }
  };
  TestThread a(silent, [&] { stop = true; }), b(silent, [&] { stop = true; });
  ASSERT_GE(op.app.out().waitForText("Wclient to server", 60s), 0) << op.app.out().text();
  const auto from = std::max(t0, Clock::now());
  ASSERT_GE(station.app.out().waitForText("Receiving data", 15s), 0) << station.app.out().text();
  printf("operator in %lld ms after the station listened, with two silent peers (%d connections)\n",
         msSince(from), connects.load());
  EXPECT_GE(connects.load(), 2);
  EXPECT_GE(op.app.out().waitForText("Websocket Connected", 5s), 0);
  stop = true;
  a.join();
  b.join();
  op.app.stop();
  station.app.stop();
}

TEST(RemoteLinkAttack, GuessesFromManyAddressesAreSlowedAndTheOwnerStillGetsIn) {
  Station station;
  // The owner's unit authenticated from 127.0.0.1 two days ago.
  const long long twoDaysAgo = static_cast<long long>(time(nullptr)) - 2 * 24 * 3600;
  station.root.writeFile("/opt/set/remote-peers.txt",
                         "127.0.0.1 " + std::to_string(twoDaysAgo) + "\n");
  Operator op;
  ASSERT_TRUE(station.launch());
  ASSERT_TRUE(op.start(station.port));
  ASSERT_TRUE(station.listening()) << station.app.out().text();
  const size_t mark = station.app.out().size();

  // Six guessers, every connection from a new address 127.1.x.y. The owner's
  // unit retries every 2 s until the station listens: it comes in the middle
  // of the attack.
  std::atomic<bool> stop{false};
  std::atomic<int> next{0}, guesses{0};
  auto guesser = [&] {
    while (!stop) {
      int k = next++ % (250 * 250);
      char source[32];
      snprintf(source, sizeof source, "127.1.%d.%d", k / 250, k % 250 + 1);
      Peer p(station.port, source, 1);
      if (!p.ok() || p.handshake(kKey, 3s).find("101 Switching") == std::string::npos) {
        poll(nullptr, 0, 5);  // closed at once: a breath before the next address
        continue;
      }
      p.text("guess-" + std::to_string(k));
      ++guesses;
      p.closedWithin(3s);
    }
  };
  const auto t0 = Clock::now();
  std::vector<std::unique_ptr<TestThread>> threads;
  for (int i = 0; i < 6; ++i)
    threads.push_back(std::make_unique<TestThread>(guesser, [&] { stop = true; }));
  // From the station listening, or from the owner's unit starting its link
  // if that came later.
  ASSERT_GE(op.app.out().waitForText("Wclient to server", 60s), 0) << op.app.out().text();
  const auto from = std::max(t0, Clock::now());
  ASSERT_GE(station.app.out().waitForText("Receiving data", 15s, mark), 0)
      << station.app.out().text(mark);
  const long long ownerMs = msSince(from);
  const int guessesBefore = guesses.load();
  // The attack goes on for at least eight seconds in all.
  WaitUntil([&] { return msSince(t0) >= 8000; }, 20s, 100ms);
  stop = true;
  threads.clear();
  const double seconds = msSince(t0) / 1000.0;
  const int compared = countLines(station.app.out(), "pass phrase refused (", mark);
  printf(
      "%d guesses sent from %d addresses in %.1f s, %d compared (%.2f/s); owner in %lld ms "
      "after the station listened, %d guesses in by then\n",
      guesses.load(), next.load(), seconds, compared, compared / seconds, ownerMs, guessesBefore);
  EXPECT_GT(guesses.load(), 3 * compared) << "the guessers were busy";
  // Ten failures in a minute, then one compare every 2 s in all.
  EXPECT_LE(compared, 10 + static_cast<int>(seconds / 2) + 1);
  EXPECT_LE(ownerMs, 5000) << "its next try after the station listened";
  // The owner's address is remembered afresh.
  std::string peers;
  WaitUntil(
      [&] {
        peers = simtest::ReadRootFile(station.root, "/opt/set/remote-peers.txt");
        return peers.find("127.0.0.1 ") != std::string::npos;
      },
      5s, 100ms);
  EXPECT_EQ(peers.find("127.1."), std::string::npos) << peers;
  EXPECT_EQ(peers.find(std::to_string(twoDaysAgo)), std::string::npos) << peers;
  EXPECT_NE(peers.find("127.0.0.1 "), std::string::npos) << peers;
  op.app.stop();
  station.app.stop();
}

TEST(RemoteLinkAttack, UnauthenticatedPeersCannotFillTheLog) {
  Station station;
  ASSERT_TRUE(station.start()) << station.app.out().text();
  auto bytesOf = [&](size_t from) {
    size_t n = 0;
    for (const std::string &l : station.app.out().lines(from)) n += l.size() + 1;
    return n;
  };
  const size_t mark = station.app.out().size();
  // One peer, as fast as it can: whole requests with many lines, and near
  // misses of the real pass phrase.
  std::string request = Peer::RequestText(kKey);
  for (int i = 0; i < 40; ++i) request.insert(0, "X-Filler: " + std::string(60, 'f') + "\r\n");
  int tries = 0;
  const auto t0 = Clock::now();
  while (msSince(t0) < 6000) {
    Peer p(station.port, nullptr, 1);
    if (!p.ok()) continue;
    ++tries;
    if (!p.send(request)) continue;
    if (p.readUntil("chat\r\n\r\n", 2s).find("101") == std::string::npos) continue;
    p.text(tries % 2 ? std::string("Secret\0more", 11) : std::string("Secre"));
    p.closedWithin(2s);
  }
  const double seconds = msSince(t0) / 1000.0;
  const size_t bytes = bytesOf(mark);
  printf("%d connections in %.1f s: %zu bytes of log, %.0f bytes/s\n", tries, seconds, bytes,
         bytes / seconds);
  EXPECT_GT(tries, 10);
  EXPECT_LT(bytes / seconds, 1024.0) << station.app.out().text(mark);
  const std::string log = station.app.out().text(mark);
  EXPECT_NE(log.find("pass phrase refused (11 bytes) from 127.0.0.1"), std::string::npos) << log;
  EXPECT_EQ(log.find("Secre"), std::string::npos) << "a near miss is never logged";
  station.app.stop();
}

TEST(RemoteLinkAttack, AnImageHeaderBombAndAnEmptyCatFrameDoNoHarm) {
  Station station;
  ASSERT_TRUE(station.root.ok());
  // A display, so received screen images are decoded at all.
  station.root.writeFile("/dev/fb0", std::string(800 * 480 * 4, '\0'));
  NebSim neb;
  ASSERT_TRUE(neb.start(station.root, {"freq 14074000"}));
  ASSERT_TRUE(station.start(true)) << station.app.out().text();
  ASSERT_GE(station.app.out().waitForText("CAT serial found", 40s), 0) << station.app.out().text();

  Peer p(station.port);
  ASSERT_NE(p.handshake(kKey).find("101 Switching"), std::string::npos);
  p.text(kPassword);
  ASSERT_GE(station.app.out().waitForText("Receiving data", 10s), 0);
  // The frames of one connection are taken in order: an ST frame after
  // the others says they have been dealt with.
  int round = 0;
  auto settled = [&] {
    std::string text = "KIVOFD" + std::to_string(++round);
    p.binary("ST", text);
    return station.app.out().waitForText("BUFFER Wsocket : " + text, 10s) >= 0;
  };

  // A JPEG of 16 x 16 whose header says 4096 x 4096.
  std::vector<uint8_t> pixels(16 * 16 * 4, 0x80), jpeg;
  ASSERT_EQ(JpegEncodePixels(pixels.data(), 16, 16, 50, &jpeg), 0);
  size_t sof = 0;
  for (size_t i = 0; i + 9 < jpeg.size() && sof == 0; ++i)
    if (jpeg[i] == 0xff && jpeg[i + 1] == 0xc0) sof = i;
  ASSERT_NE(sof, 0u);
  jpeg[sof + 5] = 0x10;  // height 4096
  jpeg[sof + 6] = 0x00;
  jpeg[sof + 7] = 0x10;  // width 4096
  jpeg[sof + 8] = 0x00;
  ASSERT_TRUE(settled());
  const long before = simtest::PeakMemoryKiB(station.app.pid());
  for (uint32_t offset = 0; offset < jpeg.size(); offset += kWsChunkBytes) {
    uint8_t chunk[kWsChunkFrame];
    WsBuildChunk(chunk, "FB", jpeg.data(), static_cast<uint32_t>(jpeg.size()), offset);
    ASSERT_TRUE(p.send(std::string(reinterpret_cast<char *>(chunk), sizeof chunk)));
  }
  ASSERT_TRUE(settled());
  const long after = simtest::PeakMemoryKiB(station.app.pid());
  printf("peak memory %ld KiB before the image header, %ld KiB after (+%ld KiB)\n", before, after,
         after - before);
  EXPECT_LT(after - before, 16 * 1024) << "a 4096 x 4096 picture is 64 MiB";

  // An empty CAT frame is nothing to write: the CAT link goes on.
  ASSERT_TRUE(p.binary("CA", ""));
  ASSERT_TRUE(settled());
  ASSERT_TRUE(p.binary("CA", "FA;"));
  EXPECT_GE(neb.out().waitForText("FA;", 10s), 0) << neb.out().text();
  const std::string log = station.app.out().text();
  EXPECT_EQ(log.find("err:20"), std::string::npos) << log;
  EXPECT_EQ(log.find("TCP read Error 7a"), std::string::npos) << log;
  station.app.stop();
}
