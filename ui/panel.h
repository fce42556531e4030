#pragma once
// The front panel: six keys and the panel's small controller on the GPIO
// block, and what every key does in every screen state.
#include <cstdint>
#include <string>

#include "core/works.h"

// Keys 1..6 are GPIO 22..27; in the level register 1 = released.
constexpr int kPanelKeys = 6;
constexpr int kKeyFirstGpio = 22;
constexpr uint32_t kKeyLevelMask = 0x3Fu << kKeyFirstGpio;

// Register offsets (bytes) in the GPIO block.
constexpr int kGpioBlockBytes = 4096;
constexpr int kRegFsel0 = 0x00;
constexpr int kRegSet0 = 0x1C;
constexpr int kRegClr0 = 0x28;
constexpr int kRegLev0 = 0x34;
constexpr int kRegPud = 0x94;
constexpr int kRegPudClk0 = 0x98;

// Front-panel link pins and the two outputs.
constexpr int kPinData = 4;
constexpr int kPinClock = 6;
constexpr int kPinFwArmed = 13;
constexpr int kPinAlwaysHigh = 16;

constexpr uint8_t kPanelIdle = 255;

// Interprets a key press by screen state. longFlags is 0 for a short press
// (reported on release) or the key's bit for a long press or a repeat. A
// non-zero result asks for the long press to repeat (manual L/C keys only).
int DecodeTasto(Works *works, int key, int longFlags);
// Closes the status page if it is shown; 1 when it was.
int EscFromStatus(Works *works);
// Edits the selected cell of the band table: decrease 1 for "-", 0 for "+".
void ModifytabAntenna(Works *works, int decrease);
// Key labels of the manual tune screen: L, C and the network mode.
void ImpostaLblManuale(Works *works);

// ---- Key scanning, apart from the registers so it can be driven directly.

using KeyHandler = int (*)(Works *works, int key, int longFlags);

struct PanelKeys {
  int state[kPanelKeys];     // accepted level: 1 released, 0 pressed
  int previous[kPanelKeys];  // level before the last acceptance, -1 = none yet
  int diffs[kPanelKeys];     // passes whose raw level differed from the accepted one
  long long pressStartMs[kPanelKeys];
  int repeats[kPanelKeys];
  bool longDone[kPanelKeys];
};

void PanelKeysInit(PanelKeys *keys);
// Seconds a key must be held for its next long press: the long-press time
// first, then 0.1 s for 14 repeats, then 0.02 s.
double PanelLongThreshold(int repeats);
// One pass over the level register at time nowMs (monotonic): debounce,
// one key at a time, long presses and repeats, releases.
void PanelScanKeys(PanelKeys *keys, Works *works, uint32_t level, long long nowMs,
                   KeyHandler handler = DecodeTasto);

// ---- Keys pressed from elsewhere than the board (the web panel). They enter
// the scanning as pin levels, so debounce, one key at a time, long press,
// auto-repeat and every screen state treat them as the board's own keys.

enum PanelPress {
  PP_SHORT,  // held until the scanning accepts it, then released
  PP_LONG,   // held until the scanning has delivered its long press
  PP_DOWN,   // held until PP_UP of the same key (at most kInjectHoldMaxMs)
  PP_UP,
};
constexpr int kInjectQueue = 16;
constexpr long long kInjectHoldMaxMs = 10000;  // a lost "up" stops repeating here

// Queues a press of key 1..6 (PP_UP releases a held one). False when the
// queue is full or the key is out of range.
bool PanelInjectKey(int key, PanelPress press, long long nowMs);
// The level register as the scanning should see it this pass: the injected
// key that is due pressed (0). keys is the scanning's state after its last pass.
uint32_t PanelInjectLevel(uint32_t level, const PanelKeys *keys, long long nowMs);
// Drops every queued and held injected press.
void PanelInjectReset();

// ---- The GPIO block and the front-panel link.

struct GpioBlock {
  volatile uint32_t *regs = nullptr;
  // Waits between steps of the link; tests put a model of the panel here.
  void (*delayUs)(void *ctx, int us) = nullptr;
  void *ctx = nullptr;
};

// Pin directions, pull-ups of the keys, outputs at rest.
void GpioSetup(GpioBlock *gpio);
// GPIO 16 high; GPIO 13 low while FW UPDATE is armed.
void GpioOutputs(GpioBlock *gpio, Works *works);
// Mailbox and poll rotation: picks the next command while the link is idle.
void PanelPollStep(Works *works);
// Sends one command to the panel controller and returns its 8-bit reply.
uint8_t PanelTransfer(GpioBlock *gpio, uint8_t cmd);
// Stores a reply in the slot of the command's two low bits.
void PanelStoreReply(Works *works, uint8_t cmd, uint8_t reply);

// Where the GPIO block comes from.
enum GpioSource { GS_VIRTUAL, GS_GPIOMEM, GS_DEVMEM, GS_REFUSE };
// The choice: the virtual block under OMBRIX_ROOT; /dev/gpiomem when the
// system has it; /dev/mem only on a board whose device tree names the
// expected Raspberry Pi family; otherwise refuse, with the reason in why.
GpioSource ChooseGpioSource(bool underRoot, bool haveGpiomem, const std::string &compatible,
                            std::string *why);
// Maps the block. nullptr on failure, with *exitStatus (8 or -1) and a logged reason.
volatile uint32_t *GpioMap(int *exitStatus);
void GpioUnmap(volatile uint32_t *regs);
