#include "controller/next_command.h"

#include "config/config.h"
#include "core/command_queue.h"
#include "core/process_globals.h"
#include "errors/errors.h"
#include "platform/log.h"

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

void ResetBiasCmd(Works *works) {
  uint8_t fault = works->stErr[2];
  if (fault != 0 || (works->stErr[1] & 2) != 0) {
    IncPNTIn_CMDLinear(LP_CP, works);
    LogStderr(">>> ERRORI: RESET Protezione AMPL!\n");
  }
  if ((fault & 0x80) != 0) InitMicroCmd(works);
  IncPNTIn_CMDLinear(LP_MP0, works);
  IncPNTIn_CMDLinear(works->ampBypass == 1 ? LP_AB1 : LP_AB0, works);
  IncPNTIn_CMDLinear(LP_AT, works);
}

void LastCmdSent(Works *works, char c1, char c2, int id) {
  works->lastCmdChars[0] = c1;
  works->lastCmdChars[1] = c2;
  works->lastCmdId = id;
}

void GestRetrayCMD(Works *works) {
  works->retryTotal += 1;
  char c1 = works->lastCmdChars[0];
  char c2 = works->lastCmdChars[1];
  if (works->retryCount > 2) {
    works->errDetail.setf("Err %c%c", c1, c2);
    if (works->extIoTimeout == 0) {
      AddErrore(works, ERR_COMM);
      works->extIoTimeout = 2000;
    }
    LogStderr(
        "---------------------------------------STOP RETRAY!! %c%c (%d, %d) Restart da ST "
        "(Timer: %i)\n",
        c1, c2, works->retryTotal.load(), works->retryCount.load(), works->extIoTimeout.load());
    works->retryStops += 1;
    linearProcessStatus = LP_ST;
    works->retryCount = 0;
  } else {
    works->retryCount += 1;
    linearProcessStatus = works->lastCmdId.load();
    LogStderr("--------------------------------------- ERROR LINEAR: RETRAY %c%c (%d , %d)\n", c1,
              c2, works->retryTotal.load(), works->retryCount.load());
  }
}

void NextCmdPriority(Works *works, int next) {
  works->retryCount = 0;
  if (works->cmdPriority == 0) {
    linearProcessStatus = next;
    return;
  }
  int id = TakeCmdLinear(works);
  if (id >= 0) {
    linearProcessStatus = id;
    LogStderr("cmd ext: %d\n", id);
    return;
  }
  works->cmdPriority = 0;
  linearProcessStatus = next;
  if (works->errorRecovery == 1) {
    LogStderr(">>> ERRORI: Send All CMD for Error\n");
    works->errorRecovery = 2;
  }
}

int NextLinearCmd(Works *works, const ReplyRead &reply, int tuneState) {
  if (reply.kind == RP_ANSWER) {
    NextCmdPriority(works, LP_ST);
    return kPaceReply;
  }
  if (reply.kind != RP_STATUS) {
    GestRetrayCMD(works);
    return kPaceReply;
  }
  // A good reply ends the retries of the command it answers.
  works->retryCount = 0;
  switch (tuneState) {
    case 1: linearProcessStatus = LP_MT1; break;
    case 2:
      linearProcessStatus = LP_CP;
      works->autoTuneState = 1;
      break;
    case 3:
      linearProcessStatus = LP_ST;
      works->autoTuneState = 1;
      break;
    default: {
      int id = TakeCmdLinear(works);
      linearProcessStatus = id >= 0 ? id : LP_FM;
      break;
    }
  }
  return kPaceStatus;
}
