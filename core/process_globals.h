#pragma once
// The few process-wide globals outside the record: start-up counters, the
// controller link's next command and state, the LAN editor's cursors and the
// meter and peak settings. Shared by several threads, so each is atomic.
#include "core/shared.h"

extern At<int> StepTune1;
extern At<int> CntIP, CntDNS, CntNetMask, CntGateway;
extern At<int> waitNEB;
extern At<int> startInitThread;
// The controller link: the next command it sends (an identifier of
// core/command_queue.h), and apart from it its own state (LinearState of
// controller/link.h: sending, waiting, decoding, halted).
extern At<int> linearProcessStatus;
extern At<int> linearLinkState;
extern At<int> counterrortimeout;

// Meter and peak settings (refresh loop, setup file).
extern At<double> TIME_LONG_PRESS;
extern At<int> number_ofStep_meter_FWD, number_ofStep_meter_REFL, number_ofStep_meter_SWR,
    number_ofStep_meter_PW;
extern At<int> fattoremedia;
extern At<double> PeakDecrement;
extern At<int> PeakDecrementTime;
extern At<int> TimerPeakSec;
