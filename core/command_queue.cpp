#include "core/command_queue.h"

#include <mutex>

#include "platform/log.h"

namespace {

// Letters of every command identifier; nullptr where no command exists.
const char *const kLetters[] = {
    "VS", "ST", nullptr, nullptr, "TU", "TU", "TU", "SA", "FM", "FA",    "MT",  // 0..10
    "MT", "FS", "CP",    "AT",    "AT", "AT", "MP", "MP", "AB", "AB",    "AN",  // 11..21
    "TS", "FN", "PS",    nullptr, "SF", "MT", "SF", "SE", "MR", nullptr,        // 22..31
    "MR", "GM", "GS",    "GS",    "ER", "ER", "ER", "MT", "MT", "FN",           // 32..41
};
constexpr int kLetterCount = sizeof kLetters / sizeof kLetters[0];

}  // namespace

bool IsLinearCmd(int id) {
  return id >= 0 && id < kLetterCount && kLetters[id] != nullptr;
}

const char *LinearCmdLetters(int id) {
  return IsLinearCmd(id) ? kLetters[id] : nullptr;
}

int IncPNTIn_CMDLinear(int id, Works *works) {
  if (!IsLinearCmd(id)) {
    LogErr("command %d is not a controller command: refused", id);
    return -1;
  }
  std::lock_guard<std::mutex> lock(works->cmdQueueMutex);
  int in = works->cmdQueueIn;
  int next = (in + 1) % kCmdQueueSlots;
  if (next == works->cmdQueueOut) {
    LogErr("command queue full: %d refused", id);
    return -1;
  }
  works->cmdQueue[in] = id;
  works->cmdQueueIn = next;
  return id;
}

int TakeCmdLinear(Works *works) {
  std::lock_guard<std::mutex> lock(works->cmdQueueMutex);
  int out = works->cmdQueueOut;
  if (out == works->cmdQueueIn) return -1;
  int id = works->cmdQueue[out];
  works->cmdQueue[out] = 0;
  works->cmdQueueOut = (out + 1) % kCmdQueueSlots;
  return id;
}

int PendingCmdLinear(Works *works) {
  std::lock_guard<std::mutex> lock(works->cmdQueueMutex);
  return (works->cmdQueueIn - works->cmdQueueOut + kCmdQueueSlots) % kCmdQueueSlots;
}

bool IsCmdQueued(Works *works, int id) {
  std::lock_guard<std::mutex> lock(works->cmdQueueMutex);
  for (int i = works->cmdQueueOut; i != works->cmdQueueIn; i = (i + 1) % kCmdQueueSlots)
    if (works->cmdQueue[i] == id) return true;
  return false;
}

void ClearCmdQueue(Works *works) {
  std::lock_guard<std::mutex> lock(works->cmdQueueMutex);
  for (auto &slot : works->cmdQueue) slot = 0;
  works->cmdQueueIn = 0;
  works->cmdQueueOut = 0;
}

void AttivaDisattivaProtezione(Works *works, int on) {
  if (on == 1) {
    IncPNTIn_CMDLinear(LP_MP1, works);
    IncPNTIn_CMDLinear(LP_AT_MAX, works);
    LogStderr("PROTEZIONE ON -------------\n");
  } else {
    IncPNTIn_CMDLinear(LP_MP0, works);
    LogStderr("PROTEZIONE OFF -------------\n");
  }
}
