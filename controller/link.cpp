// Controller link: queue and start-up sequence (the thread comes next).
#include "controller/link.h"

#include "config/config.h"
#include "core/globals.h"
#include "platform/log.h"

uint8_t Sys_Crc8Calculation(const void *bytes, int length) {
  const uint8_t *p = static_cast<const uint8_t *>(bytes);
  uint8_t crc = 0;
  for (int i = 0; i < length; ++i) {
    uint8_t byte = p[i];
    for (int bit = 0; bit < 8; ++bit) {
      bool mix = ((byte ^ crc) & 1) != 0;
      crc = static_cast<uint8_t>(crc >> 1);
      if (mix) crc ^= 0x8C;
      byte = static_cast<uint8_t>(byte >> 1);
    }
  }
  return crc;
}

int IncPNTIn_CMDLinear(int id, Works *works) {
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

void InitMicroCmd(Works *works) {
  LogStderr("Init CRT ... \n");
  IncPNTIn_CMDLinear(LP_VSM, works);
  IncPNTIn_CMDLinear(LP_ER0, works);
  IncPNTIn_CMDLinear(LP_ER1, works);
  IncPNTIn_CMDLinear(LP_ER2, works);
  IncPNTIn_CMDLinear(LP_MP0, works);
  SearchCambioSoglie_TS(works);
  works->fanPercent = 100;
  works->fanPercentReq = 100;
  IncPNTIn_CMDLinear(LP_FN, works);
  IncPNTIn_CMDLinear(LP_AN, works);
  IncPNTIn_CMDLinear(LP_SA, works);
  IncPNTIn_CMDLinear(LP_FS, works);
  IncPNTIn_CMDLinear(LP_MT1, works);
  IncPNTIn_CMDLinear(LP_PS, works);
  IncPNTIn_CMDLinear(LP_GM, works);
  IncPNTIn_CMDLinear(LP_GS, works);
  IncPNTIn_CMDLinear(LP_CP, works);
  IncPNTIn_CMDLinear(LP_MR0, works);
}

void *Linear(void *) {
  LogInfo("Linear: controller link not built yet");
  return nullptr;
}

int OpenLinear(Works *) { return -1; }
int writeLinearPort(int, const char *, int, Works *) { return -1; }
void LastCmdSent(Works *, char, char, int) {}
void GestRetrayCMD(Works *) {}
void NextCmdPriority(Works *, int) {}
void SetAttenuatorCMD(Works *, int, int) {}
