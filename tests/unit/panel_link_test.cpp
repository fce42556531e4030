// The GPIO block: pin set-up, the front-panel link bit by bit against a
// model of the panel's controller, the poll rotation and mailbox, where the
// block may come from, and the thread on a virtual block.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "core/threads.h"
#include "support/test_thread.h"
#include "support/wait.h"
#include "ui/panel.h"
#include "ui/ui.h"
#include "unit/panel_fixture.h"

namespace {

// A model of the panel's controller: it sees the pins through the set and
// clear registers (write-only on the board, so it empties them), takes the
// command bit on each falling clock edge while the data pin is an output,
// and answers one bit per falling edge once the pin is an input.
struct PanelModel {
  uint32_t regs[kGpioBlockBytes / 4] = {};
  int clock = 1, data = 1;
  std::vector<int> sent;
  uint32_t answer = 0;  // 12 bits, most significant first
  int answered = 0;
  int waits = 0, waitUs = 0;
  std::vector<uint32_t> pud, pudClk;
  uint32_t setSeen = 0;

  bool dataIsOutput() const { return ((regs[kRegFsel0 / 4] >> (kPinData * 3)) & 7) == 1; }

  static void delay(void *ctx, int us) {
    auto *m = static_cast<PanelModel *>(ctx);
    ++m->waits;
    m->waitUs += us;
    uint32_t set = m->regs[kRegSet0 / 4], clr = m->regs[kRegClr0 / 4];
    m->regs[kRegSet0 / 4] = m->regs[kRegClr0 / 4] = 0;
    m->setSeen |= set;
    int oldClock = m->clock;
    if (set & (1u << kPinClock)) m->clock = 1;
    if (clr & (1u << kPinClock)) m->clock = 0;
    if (set & (1u << kPinData)) m->data = 1;
    if (clr & (1u << kPinData)) m->data = 0;
    m->pud.push_back(m->regs[kRegPud / 4]);
    m->pudClk.push_back(m->regs[kRegPudClk0 / 4]);
    bool falling = oldClock == 1 && m->clock == 0;
    if (m->dataIsOutput()) {
      if (falling) m->sent.push_back(m->data);
    } else if ((falling || m->answered == 0) && m->answered < 12) {
      // The first bit as soon as the line is released, then one per falling edge.
      int bit = (m->answer >> (11 - m->answered++)) & 1;
      uint32_t &lev = m->regs[kRegLev0 / 4];
      lev = bit ? (lev | (1u << kPinData)) : (lev & ~(1u << kPinData));
    }
  }
  GpioBlock block() {
    GpioBlock g;
    g.regs = regs;
    g.delayUs = delay;
    g.ctx = this;
    return g;
  }
};

int fsel(const uint32_t *regs, int pin) {
  return (regs[pin / 10] >> ((pin % 10) * 3)) & 7;
}

TEST(PanelLink, SetUpMakesTheLinkPinsOutputsAndTheKeysPulledUpInputs) {
  PanelModel m;
  for (int i = 0; i < 3; ++i) m.regs[i] = 0xFFFFFFFF;  // every pin in some other function
  GpioBlock g = m.block();
  GpioSetup(&g);
  for (int pin : {kPinData, kPinClock, kPinFwArmed, kPinAlwaysHigh})
    EXPECT_EQ(fsel(m.regs, pin), 1);
  for (int pin = 22; pin <= 27; ++pin) EXPECT_EQ(fsel(m.regs, pin), 0);
  EXPECT_EQ(fsel(m.regs, 5), 7) << "other pins untouched";
  ASSERT_EQ(m.pud.size(), 2u);
  EXPECT_EQ(m.pud[0], 2u) << "pull-up selected before it is clocked in";
  EXPECT_EQ(m.pudClk[1], kKeyLevelMask);
  EXPECT_EQ(m.regs[kRegPud / 4], 0u);
  EXPECT_EQ(m.regs[kRegPudClk0 / 4], 0u);
  EXPECT_EQ(m.setSeen, 1u << kPinFwArmed) << "GPIO 13 high before it drives";

  PanelFixture f;
  m.regs[kRegSet0 / 4] = m.regs[kRegClr0 / 4] = 0;
  f.w->armedActions = 1;
  GpioOutputs(&g, f.w);
  EXPECT_EQ(m.regs[kRegClr0 / 4], 1u << kPinFwArmed) << "low while FW UPDATE is armed";
  EXPECT_EQ(m.regs[kRegSet0 / 4], 1u << kPinAlwaysHigh);
  f.w->armedActions = 0;
  GpioOutputs(&g, f.w);
  EXPECT_EQ(m.regs[kRegSet0 / 4], (1u << kPinFwArmed) | (1u << kPinAlwaysHigh));
}

TEST(PanelLink, TransferSendsEightBitsAndReadsTwelveInFiftyOneSteps) {
  PanelModel m;
  GpioBlock g = m.block();
  GpioSetup(&g);
  m.waits = m.waitUs = 0;
  m.answer = 0xA5C;
  uint8_t reply = PanelTransfer(&g, 0xD1);
  EXPECT_EQ(m.sent, (std::vector<int>{1, 1, 0, 1, 0, 0, 0, 1})) << "most significant first";
  EXPECT_EQ(m.answered, 12);
  EXPECT_EQ(reply, 0x5C) << "low 8 bits of the 12 read";
  EXPECT_EQ(m.waits, 51);
  EXPECT_EQ(m.waitUs, 51 * 200);
  EXPECT_TRUE(m.dataIsOutput());
  EXPECT_EQ(m.regs[kRegSet0 / 4], (1u << kPinData) | (1u << kPinClock))
      << "data and clock left high";

  PanelFixture f;
  PanelStoreReply(f.w, 208, 0x12);
  PanelStoreReply(f.w, 209, 0x34);
  PanelStoreReply(f.w, 210, 0x56);
  PanelStoreReply(f.w, 211, 0x78);
  PanelStoreReply(f.w, 133, 0x9A);
  EXPECT_EQ(f.w->panelVersion, 0x12);
  EXPECT_EQ(f.w->panelV12Adc, 0x9A) << "a command's reply goes to the slot of its low bits";
  EXPECT_EQ(f.w->panelV15Adc, 0x56);
  EXPECT_EQ(f.w->panelVampAdc, 0x78);
}

TEST(PanelLink, PollRotationLeavesEveryFifthSlotEmptyAndTheMailboxGoesFirst) {
  PanelFixture f;
  Works *w = f.w;
  w->panelPollWait = 0;
  w->panelPollIdx = 0;
  std::vector<int> sent;
  for (int slot = 0; slot < 6; ++slot) {
    w->panelCmdOut = 255;
    PanelPollStep(w);
    sent.push_back(w->panelCmdOut);
    EXPECT_EQ(w->panelPollWait, 200);
    w->panelPollWait = 0;
  }
  EXPECT_EQ(sent, (std::vector<int>{209, 210, 211, 208, 255, 209}));

  w->panelCmdOut = 255;
  w->panelPollWait = 2;
  w->panelCmd = 149;
  PanelPollStep(w);
  PanelPollStep(w);
  EXPECT_EQ(w->panelCmdOut, 255) << "the link waits 200 passes between slots";
  PanelPollStep(w);
  EXPECT_EQ(w->panelCmdOut, 149);
  EXPECT_EQ(w->panelCmd, 0) << "the mailbox is free again";
}

TEST(PanelLink, PhysicalMemoryIsOnlyMappedOnTheBoard) {
  std::string why;
  EXPECT_EQ(ChooseGpioSource(true, true, "", &why), GS_VIRTUAL);
  EXPECT_EQ(ChooseGpioSource(false, true, "", &why), GS_GPIOMEM);
  const char pi3[] = "raspberrypi,3-model-b\0brcm,bcm2837";
  EXPECT_EQ(ChooseGpioSource(false, false, std::string(pi3, sizeof pi3), &why), GS_DEVMEM);
  EXPECT_EQ(ChooseGpioSource(false, false, "", &why), GS_REFUSE);
  EXPECT_FALSE(why.empty());
  const char pi4[] = "raspberrypi,4-model-b\0brcm,bcm2711";
  EXPECT_EQ(ChooseGpioSource(false, false, std::string(pi4, sizeof pi4), &why), GS_REFUSE);
  EXPECT_EQ(ChooseGpioSource(false, false, "brcm,bcm2837x", &why), GS_REFUSE);

  TempRoot root;  // under a root only the virtual block counts
  int status = 0;
  EXPECT_EQ(GpioMap(&status), nullptr);
  EXPECT_EQ(status, 8);
  root.writeFile("/dev/mem", std::string(100, '\0'));
  EXPECT_EQ(GpioMap(&status), nullptr);
  EXPECT_EQ(status, 8);
}

// Writes the key level register of the virtual block the way the simulator does.
void setLevel(const std::string &mem, uint32_t level) {
  int fd = open(mem.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, &level, 4, kRegLev0), 4);
  close(fd);
}

TEST(PanelLink, ThreadOnTheVirtualBlockTakesKeysAndEmptiesTheMailbox) {
  PanelFixture f;
  std::string mem = f.root.path("/dev/mem");
  f.root.writeFile("/dev/mem", std::string(kGpioBlockBytes, '\0'));
  setLevel(mem, kKeyLevelMask);
  f.w->running = 1;
  f.w->panelCmdOut = 176;
  TestThread t([&] { GPIO(f.w); }, [&] { f.w->running = 0; });
  ASSERT_TRUE(WaitUntil([&] { return f.w->gpioRunning == 1 && f.w->panelCmdOut == 255; }))
      << "the start-up command went out";
  EXPECT_TRUE(PostPanelCmd(f.w, 197));
  EXPECT_TRUE(WaitUntil([&] { return f.w->panelCmd == 0; })) << "the mailbox was taken";

  setLevel(mem, kKeyLevelMask & ~(1u << 26));                   // key 5: the menu
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // a short press
  setLevel(mem, kKeyLevelMask);
  EXPECT_TRUE(WaitUntil([&] { return f.w->screenState == SS_MENU_LIST; }));

  uint32_t outputs = 0;
  int fd = open(mem.c_str(), O_RDONLY);
  ASSERT_EQ(pread(fd, &outputs, 4, kRegSet0), 4);
  close(fd);
  EXPECT_NE(outputs & (1u << kPinAlwaysHigh), 0u) << "the program drives its outputs in the file";

  f.w->running = 0;
  t.join();
  EXPECT_EQ(f.w->gpioRunning, 0);
  uint32_t level = 0;
  fd = open(mem.c_str(), O_RDONLY);
  ASSERT_EQ(pread(fd, &level, 4, kRegLev0), 4);
  close(fd);
  EXPECT_EQ(level, kKeyLevelMask) << "the level register is never written by the program";
}

}  // namespace
