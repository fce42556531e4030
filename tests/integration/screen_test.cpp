// The real ombrix on the virtual display of a temporary root: the splash and
// its countdown, then the main screen, each compared with what the drawing
// functions produce in this process from the same pictures and fonts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "display/display.h"
#include "support/screen_compare.h"
#include "ui/menu.h"
#include "ui/plot.h"
#include "ui/ui.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kFrameBytes = 800 * 480 * 4;

std::string buildDir() {
  return OMBRIX_BUILD_DIR;
}

// A root laid out for a run with the display: the setup file, the virtual
// display, the screen images and the fonts, and the stand-in commands.
class ScreenRoot {
 public:
  explicit ScreenRoot(bool controllerLink = false) {
    char tmpl[] = "/tmp/ombrix-screen-XXXXXX";
    dir_ = mkdtemp(tmpl);
    for (const char *d : {"/bin", "/opt", "/opt/set", "/opt/fonts", "/opt/Ombrix", "/dev", "/etc",
                          "/etc/network", "/tmp"})
      mkdir((dir_ + d).c_str(), 0755);
    // The display refresh on; everything that needs a device this test does
    // not provide off.
    write("/opt/set/setup.txt",
          std::string("EnableKeyb: 0\nEnableGPIO: 0\nEnableRead: 0\nEnableWrite: 0\nEnableCAT: 0\n"
                      "EnableTime: 1\nWebSocket: 0\nEnableFFT: 0\nEnableLinear: ") +
              (controllerLink ? "1\n" : "0\n"));
    // Generic mode of work: without a band table the program would take the
    // NEB transceiver, whose EXT IO port this root does not have.
    write("/opt/set/antenna_b1.txt", "!Gen\n");
    write("/etc/network/interfaces", "iface eth0 inet static\naddress 192.168.1.20\n");
    script("mount", "exit 0\n");
    script("sudo", "exit 0\n");
    script("my_temp", "echo 48.3\necho \"temp=46.2'C\"\n");
    script("my_kivo", "echo 00.061\necho 192.168.1.20\n");
    std::ofstream(dir_ + "/dev/fb0", std::ios::binary) << std::string(kFrameBytes, '\0');
    const std::string cmd = "'" + std::string(OMBRIX_SOURCE_DIR) + "/assets/install-root' '" +
                            buildDir() + "' '" + dir_ + "'";
    installed_ = system(cmd.c_str()) == 0;
  }
  ~ScreenRoot() {
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }
  bool installed() const { return installed_; }
  const std::string &dir() const { return dir_; }
  std::vector<uint8_t> frame() const {
    std::ifstream in(dir_ + "/dev/fb0", std::ios::binary);
    std::vector<uint8_t> f(kFrameBytes);
    in.read(reinterpret_cast<char *>(f.data()), kFrameBytes);
    return f;
  }

 private:
  void write(const std::string &p, const std::string &text) {
    std::ofstream(dir_ + p, std::ios::binary) << text;
  }
  void script(const std::string &name, const std::string &body) {
    write("/bin/" + name, "#!/bin/sh\n" + body);
    chmod((dir_ + "/bin/" + name).c_str(), 0755);
  }
  std::string dir_;
  bool installed_ = false;
};

// build/ombrix in the root, working directory the image folder, its output
// collected.
class Ombrix {
 public:
  explicit Ombrix(const ScreenRoot &root) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
    posix_spawn_file_actions_addchdir_np(&fa, (root.dir() + "/opt/Ombrix").c_str());
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e)
      if (strncmp(*e, "OMBRIX_ROOT=", 12) != 0) env.push_back(*e);
    env.push_back("OMBRIX_ROOT=" + root.dir());
    std::vector<char *> envp;
    for (auto &e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string bin = OMBRIX_BIN;
    char *argv[] = {bin.data(), nullptr};
    if (posix_spawn(&pid_, bin.c_str(), &fa, nullptr, argv, envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    reader_ = std::thread([this, fd = fds[0]] {
      char buf[4096];
      for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::lock_guard<std::mutex> lock(m_);
        out_.append(buf, static_cast<size_t>(n));
      }
      close(fd);
    });
  }
  ~Ombrix() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      // It looks at the stop once its start-up is over; then it closes.
      for (auto end = Clock::now() + std::chrono::seconds(30); Clock::now() < end;) {
        int st;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
          pid_ = -1;
          break;
        }
        poll(nullptr, 0, 50);
      }
      if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
    if (reader_.joinable()) reader_.join();
  }
  bool running() const { return pid_ > 0; }
  std::string output() {
    std::lock_guard<std::mutex> lock(m_);
    return out_;
  }

 private:
  pid_t pid_ = -1;
  std::thread reader_;
  std::mutex m_;
  std::string out_;
};

// The simulated controller on DIR/dev/ttyAMA0, when the build has it.
class Controller {
 public:
  Controller(const ScreenRoot &root, const std::vector<std::string> &sets) {
    std::string bin = buildDir() + "/sim/ombrix-sim-controller";
    if (access(bin.c_str(), X_OK) != 0) return;
    std::vector<std::string> args = {bin, "--root", root.dir(), "--quiet"};
    for (const auto &s : sets) {
      args.push_back("--set");
      args.push_back(s);
    }
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, bin.c_str(), &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    // Its port exists once the link in the root does.
    const std::string port = root.dir() + "/dev/ttyAMA0";
    for (auto end = Clock::now() + std::chrono::seconds(10); pid_ > 0 && Clock::now() < end;
         poll(nullptr, 0, 20))
      if (access(port.c_str(), F_OK) == 0) {
        ready_ = true;
        break;
      }
  }
  ~Controller() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool available() const { return pid_ > 0 || ready_; }
  bool ready() const { return ready_; }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

// Waits until the virtual display shows a frame for which pred holds; the
// last frame read is left in *frame. The display is read every 50 ms.
bool waitForFrame(const ScreenRoot &root, milliseconds within,
                  const std::function<bool(const std::vector<uint8_t> &)> &pred,
                  std::vector<uint8_t> *frame) {
  for (auto end = Clock::now() + within;;) {
    *frame = root.frame();
    if (pred(*frame)) return true;
    if (Clock::now() >= end) return false;
    poll(nullptr, 0, 50);
  }
}

// Waits for the refresh loop, which starts once the start-up countdown is
// over; false when this build has only its placeholder.
bool refreshLoopBuilt(Ombrix &app) {
  std::string log;
  for (auto end = Clock::now() + std::chrono::seconds(30); Clock::now() < end;
       poll(nullptr, 0, 50)) {
    log = app.output();
    if (log.find("Timer thread started") != std::string::npos) return true;
    if (log.find("refresh loop not built yet") != std::string::npos) return false;
  }
  ADD_FAILURE() << "the refresh loop did not start:\n" << log;
  return false;
}

// The frame as a display of this process, to compare with a drawn one.
struct Shot {
  FrameBuffer *fb = fbCreateMemory(800, 480, 4);
  explicit Shot(const std::vector<uint8_t> &frame) { memcpy(fb->back, frame.data(), kFrameBytes); }
  ~Shot() { fbRelease(fb); }
};

// What this process draws: the program's fonts (from the root) and pictures.
class Drawn {
 public:
  explicit Drawn(const ScreenRoot &root) : root_(root) {
    static bool fonts = false;
    if (!fonts) {
      struct Slot {
        int slot;
        const char *file;
        int size;
      };
      const std::string pt = root.dir() + "/opt/fonts/";
      const std::string dv = "/usr/share/fonts/truetype/dejavu/";
      const Slot slots[] = {{0, "DejaVuSans-Bold.ttf", 24},    {1, "DejaVuSans.ttf", 22},
                            {5, "DejaVuSans.ttf", 8},          {6, "DejaVuSans.ttf", 14},
                            {7, "DejaVuSans-Oblique.ttf", 24}, {8, "DejaVuSans.ttf", 20},
                            {9, "DejaVuSans.ttf", 30},         {10, "DejaVuSans.ttf", 18},
                            {11, "DejaVuSans-Bold.ttf", 21}};
      for (const Slot &s : slots) TTFLoad((dv + s.file).c_str(), s.size, s.slot);
      TTFLoad((pt + "PTS55F_W.ttf").c_str(), 22, 2);
      TTFLoad((pt + "PTS75F_W.ttf").c_str(), 24, 4);
      fonts = true;
    }
    works->fb = fb;
  }
  ~Drawn() { fbRelease(fb); }
  // Loads a picture of the root as the background and starts a frame from it.
  bool background(const char *name) {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return false;
    if (chdir((root_.dir() + "/opt/Ombrix").c_str()) != 0) return false;
    works->imageName.set(name);
    int rc = getPng(works.get(), 1);
    if (chdir(cwd) != 0) return false;
    fbSetBack(fb);
    return rc == 0;
  }
  std::unique_ptr<Works> works = std::make_unique<Works>();
  FrameBuffer *fb = fbCreateMemory(800, 480, 4);

 private:
  const ScreenRoot &root_;
};

TEST(Screen, SplashCountdownAndMainScreenOnTheVirtualDisplay) {
  ScreenRoot root;
  ASSERT_TRUE(root.installed()) << "assets/install-root failed";
  Drawn splash(root);
  ASSERT_TRUE(splash.background("start"));
  Ombrix app(root);
  ASSERT_TRUE(app.running());

  // The splash, exactly as the picture has it.
  std::vector<uint8_t> frame;
  ASSERT_TRUE(waitForFrame(
      root, milliseconds(15000),
      [&](const std::vector<uint8_t> &f) {
        Shot s(f);
        return RegionEqual(s.fb, splash.fb, 0, 0, 799, 360);
      },
      &frame))
      << app.output();

  // The countdown drawn over it: one of "Loading ...10" down to 1.
  auto countdown = [&](const std::vector<uint8_t> &f) {
    Shot s(f);
    for (int n = 10; n >= 0; --n) {
      fbSetBack(splash.fb);
      char text[32];
      snprintf(text, sizeof text, "Loading ...%2d", n);
      putString(9, 300, 400, text, 255, 255, 255, splash.fb);
      if (!RegionEqual(s.fb, splash.fb, 0, 0, 799, 360)) return false;
      if (RegionEqual(s.fb, splash.fb, 250, 361, 799, 479) &&
          CountColour(s.fb, 300, 370, 560, 410, 255, 255, 255) > 0)
        return true;
    }
    return false;
  };
  ASSERT_TRUE(waitForFrame(root, milliseconds(15000), countdown, &frame)) << app.output();

  if (!refreshLoopBuilt(app)) GTEST_SKIP() << "the refresh loop is not built on this branch";

  // The main screen: the meter face with both needles at zero and their
  // labels, drawn here with the same functions from the same state.
  Drawn main(root);
  Works &w = *main.works;
  w.meterView = 1;
  w.powerClass = 255;
  w.numBanco = 1;
  w.maxBank = 3;
  w.ampBypass = 1;
  w.cpuTempMissing = 1;
  InitMenuLumo(&w);
  TimerDrawStart(&w);
  w.reloadBackground = 0;
  ASSERT_TRUE(main.background("img1"));
  TimerDrawScreen(&w, nullptr);
  auto meters = [&](const std::vector<uint8_t> &f) {
    Shot s(f);
    return RegionEqual(s.fb, main.fb, 0, 27, 799, 272);
  };
  ASSERT_TRUE(waitForFrame(root, milliseconds(30000), meters, &frame)) << app.output();

  // The key bar: grey keys with their separators, and the labels of the main
  // screen (or of the device-error screen when a link could not start).
  Shot s(frame);
  EXPECT_EQ(CountColour(s.fb, 0, 476, 129, 476, 40, 40, 40), 130);
  EXPECT_EQ(CountColour(s.fb, 130, 421, 130, 478, 120, 120, 120), 58);
  bool labels = false;
  for (int state : {0, 5}) {
    w.screenState = state;
    fbSetBack(main.fb);
    LoadButtons(&w, nullptr);
    labels = labels || RegionEqual(s.fb, main.fb, 0, 420, 799, 479);
  }
  EXPECT_TRUE(labels) << "the key bar matches neither the main nor the device-error labels";
  // The two rows of parameter boxes.
  EXPECT_EQ(CountColour(s.fb, 1, 278, 1, 303, 200, 200, 200), 26);
  EXPECT_EQ(CountColour(s.fb, 405, 307, 405, 332, 100, 100, 100), 26);
}

TEST(Screen, TxBoxAndErrorRowFollowTheAmplifier) {
  ScreenRoot root(true);
  ASSERT_TRUE(root.installed());
  // Transmitting, with the SWR fault bit up: the program lists the fault.
  Controller ctl(root, {"tx=1", "swr=1", "fwd=2500"});
  if (!ctl.available()) GTEST_SKIP() << "no simulated controller in this build";
  ASSERT_TRUE(ctl.ready());
  Ombrix app(root);
  ASSERT_TRUE(app.running());
  if (!refreshLoopBuilt(app)) GTEST_SKIP() << "the refresh loop is not built on this branch";

  std::vector<uint8_t> frame;
  auto txBox = [](const std::vector<uint8_t> &f) {
    Shot s(f);
    return CountColour(s.fb, 375, 175, 429, 209, 250, 0, 0) > 1500;
  };
  ASSERT_TRUE(waitForFrame(root, milliseconds(40000), txBox, &frame)) << app.output();
  Shot tx(frame);
  Drawn drawn(root);
  ASSERT_TRUE(drawn.background("img1"));
  drawn.works->stErr[1] = 1;
  ViewStatusTX(drawn.works.get());
  EXPECT_TRUE(RegionEqual(tx.fb, drawn.fb, 375, 175, 429, 209));

  // The first error box holds one of the codes, drawn here from the same
  // descriptor table.
  auto firstBox = [&](const std::vector<uint8_t> &f) {
    Shot s(f);
    Works &w = *drawn.works;
    InitMenuLumo(&w);
    for (int code = 0; code < kErrorCodes; ++code) {
      fbSetBack(drawn.fb);
      w.errorList[0] = code;
      w.errorCount = 1;
      DrawError(&w);
      if (RegionEqual(s.fb, drawn.fb, 5, 370, 130, 415)) return true;
    }
    return false;
  };
  EXPECT_TRUE(waitForFrame(root, milliseconds(20000), firstBox, &frame)) << app.output();
}

}  // namespace
