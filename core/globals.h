#pragma once
// Process-wide globals of the start-up and the link, shared by several threads.
#include <pthread.h>

#include "core/shared.h"

extern At<int> StepTune1;
extern At<int> CntIP, CntDNS, CntNetMask, CntGateway;
extern At<int> waitNEB;
extern At<int> startInitThread;
extern At<int> linearProcessStatus;
extern At<int> counterrortimeout;

// Meter and peak settings (refresh loop, setup file).
extern At<double> TIME_LONG_PRESS;
extern At<int> number_ofStep_meter_FWD, number_ofStep_meter_REFL, number_ofStep_meter_SWR,
    number_ofStep_meter_PW;
extern At<int> fattoremedia;
extern At<double> PeakDecrement;
extern At<int> PeakDecrementTime;
extern At<int> TimerPeakSec;

// Thread handles; a handle is only joined when its thread was started.
extern pthread_t thrGPIO, thrLin, thInit, thDebug, thAggFw, thrKey, thrWsock, thrSer, thrScrivi,
    thrLeggi, thrCat, thrFFT, thrCatSer, thrTime, thrTouch, thrSpi;
