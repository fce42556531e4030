// The real ombrix on the virtual display of a temporary root: the splash and
// its countdown, then the main screen, each compared with what the drawing
// functions produce in this process from the same pictures and fonts.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "display/display.h"
#include "errors/errors.h"
#include "support/screen_compare.h"
#include "support/sim_harness.h"
#include "support/wait.h"
#include "ui/menu.h"
#include "ui/plot.h"
#include "ui/ui.h"

namespace {

using simtest::ControllerSim;
using simtest::OmbrixProcess;
using std::chrono::milliseconds;

constexpr int kFrameBytes = 800 * 480 * 4;

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
                            simtest::BuildDir() + "' '" + dir_ + "'";
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

// Waits until the virtual display shows a frame for which pred holds; the
// last frame read is left in *frame. The display is read every 50 ms.
bool waitForFrame(const ScreenRoot &root, milliseconds within,
                  const std::function<bool(const std::vector<uint8_t> &)> &pred,
                  std::vector<uint8_t> *frame) {
  return WaitUntil(
      [&] {
        *frame = root.frame();
        return pred(*frame);
      },
      within, milliseconds(50));
}

// Waits for the refresh loop, which starts once the start-up countdown is over.
bool refreshLoopStarted(OmbrixProcess &app) {
  return app.out().waitForText("Timer thread started", milliseconds(30000)) >= 0;
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
  OmbrixProcess app;
  ASSERT_TRUE(app.start(root.dir(), root.dir() + "/opt/Ombrix"));

  // The splash, exactly as the picture has it.
  std::vector<uint8_t> frame;
  ASSERT_TRUE(waitForFrame(
      root, milliseconds(15000),
      [&](const std::vector<uint8_t> &f) {
        Shot s(f);
        return RegionEqual(s.fb, splash.fb, 0, 0, 799, 360);
      },
      &frame))
      << app.out().text();

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
  ASSERT_TRUE(waitForFrame(root, milliseconds(15000), countdown, &frame)) << app.out().text();

  ASSERT_TRUE(refreshLoopStarted(app)) << app.out().text();

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
  ASSERT_TRUE(waitForFrame(root, milliseconds(30000), meters, &frame)) << app.out().text();

  // The key bar: grey keys with their separators, and the main screen's labels.
  Shot s(frame);
  EXPECT_EQ(CountColour(s.fb, 0, 476, 129, 476, 40, 40, 40), 130);
  EXPECT_EQ(CountColour(s.fb, 130, 421, 130, 478, 120, 120, 120), 58);
  w.screenState = 0;
  fbSetBack(main.fb);
  LoadButtons(&w, nullptr);
  EXPECT_TRUE(RegionEqual(s.fb, main.fb, 0, 420, 799, 479));
  // The two rows of parameter boxes.
  EXPECT_EQ(CountColour(s.fb, 1, 278, 1, 303, 200, 200, 200), 26);
  EXPECT_EQ(CountColour(s.fb, 405, 307, 405, 332, 100, 100, 100), 26);
}

TEST(Screen, TxBoxAndErrorRowFollowTheAmplifier) {
  ScreenRoot root(true);
  ASSERT_TRUE(root.installed());
  // Transmitting, with the SWR fault bit up: the program lists the fault.
  ControllerSim ctl;
  ASSERT_TRUE(ctl.start(root.dir(), {"--set", "tx=1", "--set", "swr=1", "--set", "fwd=2500"}));
  OmbrixProcess app;
  ASSERT_TRUE(app.start(root.dir(), root.dir() + "/opt/Ombrix"));
  ASSERT_TRUE(refreshLoopStarted(app)) << app.out().text();

  std::vector<uint8_t> frame;
  auto txBox = [](const std::vector<uint8_t> &f) {
    Shot s(f);
    return CountColour(s.fb, 375, 175, 429, 209, 250, 0, 0) > 1500;
  };
  ASSERT_TRUE(waitForFrame(root, milliseconds(40000), txBox, &frame)) << app.out().text();
  Shot tx(frame);
  Drawn drawn(root);
  ASSERT_TRUE(drawn.background("img1"));
  drawn.works->stErr[1] = 1;
  ViewStatusTX(drawn.works.get());
  EXPECT_TRUE(RegionEqual(tx.fb, drawn.fb, 375, 175, 429, 209));

  // The first error box holds the high-SWR trip, drawn here from the same
  // descriptor table.
  Works &w = *drawn.works;
  InitMenuLumo(&w);
  w.errorList[0] = ERR_HI_SWR;
  w.errorCount = 1;
  fbSetBack(drawn.fb);
  DrawError(&w);
  auto firstBox = [&](const std::vector<uint8_t> &f) {
    Shot s(f);
    return RegionEqual(s.fb, drawn.fb, 5, 370, 130, 415);
  };
  EXPECT_TRUE(waitForFrame(root, milliseconds(20000), firstBox, &frame)) << app.out().text();
}

}  // namespace
