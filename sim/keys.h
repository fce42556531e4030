#pragma once
// The simulator's finger on the front panel: presses the six keys by writing
// the key level register of the virtual GPIO block (DIR/dev/mem), with the
// timing of a person: short presses, long presses, held keys, two at once.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

// Register layout of the virtual block: level register at 0x34, keys 1..6
// on bits 22..27, 1 = released.
constexpr int kGpioBlockBytes = 4096;
constexpr int kLevelOffset = 0x34;
constexpr int kFirstKeyBit = 22;
constexpr uint32_t kAllKeys = 0x3Fu << kFirstKeyBit;

// How long a person holds a key, and lets go between two presses.
constexpr double kShortPressS = 0.15;
constexpr double kLongPressS = 1.2;
constexpr double kGapS = 0.2;

struct KeyPanel {
  int fd = -1;
  uint32_t *regs = nullptr;
  std::mutex m;
};

// Opens the block at memPath, creating or extending it to 4096 bytes, with
// every key released. False with the reason in *error.
bool KeyPanelOpen(KeyPanel *p, const std::string &memPath, std::string *error);
void KeyPanelClose(KeyPanel *p);
// Puts keys (1..6) down or up in one write of the register.
void KeysDown(KeyPanel *p, const std::vector<int> &keys);
void KeysUp(KeyPanel *p, const std::vector<int> &keys);
uint32_t KeyLevel(KeyPanel *p);

// One step of a command.
struct KeyStep {
  enum Kind { PRESS, DOWN, UP, WAIT } kind = PRESS;
  std::vector<int> keys;
  double seconds = 0;
};

// Parses a command line of one or more steps:
//   5         short press of key 5        L1       long press of key 1
//   2+3       keys 2 and 3 together       L2+3     both held long
//   hold 3 2.0  key 3 held for 2.0 s      down 4 / up 4   key 4 down or up
//   wait 0.5  nothing for 0.5 s
bool ParseKeyCommand(const std::string &line, std::vector<KeyStep> *steps, std::string *error);
// Runs the steps with their timing (a press is followed by a pause with
// every key up, so the next press is a press of its own).
void RunKeySteps(KeyPanel *p, const std::vector<KeyStep> &steps);

// The control channel of the key presser inside a root.
inline std::string KeysCtl(const std::string &root) {
  return root + "/sim/keys.ctl";
}
inline std::string KeysMem(const std::string &root) {
  return root + "/dev/mem";
}

}  // namespace sim
