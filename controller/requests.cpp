// What the link does with each request of the other threads: the changes of
// the controller's and the tuner's fields that keys, menus, the refresh loop
// and error recovery ask for, applied on the link thread.
#include "config/config.h"
#include "controller/next_command.h"
#include "core/command_queue.h"
#include "core/link_requests.h"
#include "core/start_values.h"
#include "platform/log.h"
#include "tuner/tuner.h"

namespace {

// Manual tune: one step of L or C within 0..511. The word is queued unless
// a write of it still waits in the queue: that one sends the word as it is
// when it goes out, and a held key would otherwise crowd out every other
// command.
void manualStep(Works *works, bool inductance, int delta) {
  At<int32_t> &field = inductance ? works->tuneL : works->tuneC;
  int v = field + delta;
  if (v < 0 || v > 511) return;
  field = v;
  if (inductance)
    SetI(works, v);
  else
    SetC(works, v);
  if (!IsCmdQueued(works, LP_MT1)) IncPNTIn_CMDLinear(LP_MT1, works);
}

void nextNetwork(Works *works) {
  if (works->autoTuneState != 0) return;
  int mode = DecodeModoFromTuneval(works->tuneVal);
  SetMode(works, mode == 1 ? 2 : mode == 2 ? 3 : 1);
  IncPNTIn_CMDLinear(LP_MT1, works);
}

void tunerBypass(Works *works, bool bypass) {
  works->tuneFine = 0;
  if (!bypass) {
    works->atuBypass = 0;
    GestioneLoadTuneVal(works, 1);
  } else {
    works->atuBypass = 1;
    IncPNTIn_CMDLinear(LP_MT1_BYPASS, works);
  }
}

void attenuator(Works *works, int sel) {
  works->attenuatorSel = static_cast<uint8_t>(sel);
  if (sel <= 3) {
    works->attenuator = static_cast<uint8_t>(sel);
    IncPNTIn_CMDLinear(LP_AT, works);
    if (works->ampBypass == 1) IncPNTIn_CMDLinear(LP_AB0, works);
  } else if (works->ampBypass != 1) {
    IncPNTIn_CMDLinear(LP_AB1, works);
  }
}

}  // namespace

void ApplyLinkRequest(Works *works, const LinkRequest &r) {
  switch (r.kind) {
    case LR_START_VALUES: InitLinkStartValues(works, r.a != 0); break;
    case LR_MANUAL_STEP: manualStep(works, r.a != 0, r.b); break;
    case LR_NETWORK_NEXT: nextNetwork(works); break;
    case LR_TUNER_BYPASS: tunerBypass(works, r.a != 0); break;
    case LR_ATTENUATOR: attenuator(works, r.a); break;
    case LR_ANTENNA:
      works->antenna = r.a;
      IncPNTIn_CMDLinear(LP_SA, works);
      break;
    case LR_AN_INPUT:
      works->anSel = r.a;
      IncPNTIn_CMDLinear(LP_AN, works);
      break;
    case LR_BAND_ROW: ApplyBandRow(works, r.a, r.b, r.c, r.d); break;
    case LR_TUNE_KEY:
      works->tuneFine = r.a;
      GoTune(works);
      break;
    case LR_TUNE_START: StartAutotune(works); break;
    case LR_TUNE_ABORT: EscAutoTune(works, 0); break;
    case LR_TUNE_FINE: works->tuneFine = r.a; break;
    case LR_THRESHOLDS: SearchCambioSoglie_TS(works); break;
    case LR_PROTECTION_RESET:
      ResetBiasCmd(works);
      if (r.a) {
        works->cmdPriority = 1;
        works->errorRecovery = 1;
      }
      break;
    case LR_TUNE_MEMORY:
      if (r.memory) CommitTuneMemory(works, r.a, r.b, r.memory.get());
      break;
    default: LogErr("link request %d unknown", r.kind); break;
  }
}
