// The service keyboard: events assembled from pieces, the four keys, and the
// thread on a FIFO that comes and goes.
#include "display/keyboard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "support/test_thread.h"
#include "support/wait.h"
#include "unit/panel_fixture.h"

namespace {

struct input_event keyEvent(int code, int value, int type = EV_KEY) {
  struct input_event ev;
  memset(&ev, 0, sizeof ev);
  ev.time.tv_sec = 1234;
  ev.type = static_cast<uint16_t>(type);
  ev.code = static_cast<uint16_t>(code);
  ev.value = value;
  return ev;
}

TEST(Keyboard, EventsArriveWholeWhateverTheReadSizes) {
  std::vector<struct input_event> sent;
  for (int i = 0; i < 7; ++i) sent.push_back(keyEvent(30 + i, i % 3, i == 3 ? EV_SYN : EV_KEY));
  std::vector<uint8_t> bytes(sizeof(struct input_event) * sent.size());
  memcpy(bytes.data(), sent.data(), bytes.size());
  KeybReader r;
  std::vector<struct input_event> got;
  size_t at = 0;
  const size_t pieces[] = {1, 5, 17, 2, 40, 3, 11};
  for (size_t i = 0; at < bytes.size(); ++i) {
    size_t n = std::min(pieces[i % 7], bytes.size() - at);
    KeybFeed(&r, bytes.data() + at, n, [&](const struct input_event &ev) { got.push_back(ev); });
    at += n;
  }
  ASSERT_EQ(got.size(), sent.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].code, sent[i].code);
    EXPECT_EQ(got[i].type, sent[i].type);
    EXPECT_EQ(got[i].value, sent[i].value);
  }
  EXPECT_EQ(r.have, 0u);
}

TEST(Keyboard, OnlyPressesActAndF12EndsTheProgram) {
  PanelFixture f;
  f.w->running = 1;
  EXPECT_EQ(KeybHandleEvent(f.w, keyEvent(KEY_F12, 0)), 0) << "release";
  EXPECT_EQ(KeybHandleEvent(f.w, keyEvent(KEY_F12, 2)), 0) << "auto-repeat";
  EXPECT_EQ(KeybHandleEvent(f.w, keyEvent(KEY_F12, 1, EV_MSC)), 0);
  EXPECT_EQ(f.w->running, 1);

  EXPECT_EQ(KeybHandleEvent(f.w, keyEvent(KEY_F11, 2)), 0);
  EXPECT_FALSE(f.root.exists("/opt/set/setup.txt"));
  EXPECT_EQ(KeybHandleEvent(f.w, keyEvent(KEY_F11, 1)), 0);
  EXPECT_TRUE(f.root.exists("/opt/set/setup.txt"));

  f.root.writeFile("/opt/sshshell", "#!/bin/sh\ntouch \"$OMBRIX_ROOT/tmp/ssh.ran\"\n");
  chmod(f.root.path("/opt/sshshell").c_str(), 0755);
  KeybHandleEvent(f.w, keyEvent(KEY_F10, 1));
  EXPECT_TRUE(f.root.exists("/tmp/ssh.ran"));
  EXPECT_EQ(f.w->armedActions, 2) << "REMOTE SERVICE armed";

  mkdir(f.root.path("/usr").c_str(), 0755);
  mkdir(f.root.path("/usr/bin").c_str(), 0755);
  f.root.writeFile("/usr/bin/fbgrab", "#!/bin/sh\necho grabbed; cp /dev/null \"$1\"\n");
  chmod(f.root.path("/usr/bin/fbgrab").c_str(), 0755);
  KeybHandleEvent(f.w, keyEvent(KEY_SYSRQ, 1));
  EXPECT_TRUE(f.root.exists("/tmp/screen.png")) << "the screenshot path is mapped too";

  EXPECT_EQ(KeybHandleEvent(f.w, keyEvent(KEY_A, 1)), 0);
  EXPECT_EQ(KeybHandleEvent(f.w, keyEvent(KEY_F12, 1)), 1);
  EXPECT_EQ(f.w->running, 0);
}

// Opens the FIFO for writing once the thread has it open for reading.
int openWriter(const std::string &fifo) {
  int fd = -1;
  WaitUntil([&] { return (fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; });
  return fd;
}

// Waits until the thread has let go of the FIFO (a writer cannot open it).
bool waitReaderGone(const std::string &fifo) {
  return WaitUntil([&] {
    int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd < 0) return errno == ENXIO;
    close(fd);
    return false;
  });
}

void writeEvent(int fd, const struct input_event &ev, size_t split) {
  const uint8_t *p = reinterpret_cast<const uint8_t *>(&ev);
  ASSERT_EQ(write(fd, p, split), static_cast<ssize_t>(split));
  ASSERT_EQ(write(fd, p + split, sizeof ev - split), static_cast<ssize_t>(sizeof ev - split));
}

TEST(Keyboard, ThreadSurvivesAKeyboardThatGoesAwayAndEndsOnF12) {
  signal(SIGPIPE, SIG_IGN);
  PanelFixture f;
  mkdir(f.root.path("/dev/input").c_str(), 0755);
  mkdir(f.root.path("/dev/input/by-id").c_str(), 0755);
  std::string fifo = f.root.path("/dev/input/by-id/usb-sim-event-kbd");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  f.w->running = 1;
  TestThread t([&] { keyb(f.w); }, [&] { f.w->running = 0; });

  int fd = openWriter(fifo);
  ASSERT_GE(fd, 0);
  writeEvent(fd, keyEvent(KEY_F11, 1), 5);  // a press in two pieces
  writeEvent(fd, keyEvent(KEY_F11, 0), 13);
  EXPECT_TRUE(WaitUntil([&] { return f.root.exists("/opt/set/setup.txt"); }));
  ASSERT_EQ(write(fd, "abc", 3), 3);  // half an event, then the keyboard is gone
  close(fd);
  ASSERT_TRUE(waitReaderGone(fifo));

  fd = openWriter(fifo);  // found again after the pause
  ASSERT_GE(fd, 0);
  writeEvent(fd, keyEvent(KEY_F12, 1), 1);
  t.join();
  close(fd);
  EXPECT_EQ(f.w->running, 0);
}

TEST(Keyboard, ThreadWithoutKeyboardEndsWhenTheProgramStops) {
  PanelFixture f;
  f.w->running = 1;
  std::thread t([&] { keyb(f.w); });
  f.w->running = 0;
  t.join();  // the 20 s search wait is cut short
  SUCCEED();
}

}  // namespace
