#include "core/process_globals.h"

At<int> StepTune1{0};
At<int> CntIP{0}, CntDNS{0}, CntNetMask{0}, CntGateway{0};
At<int> waitNEB{0};
At<int> startInitThread{0};
At<int> linearProcessStatus{0};
At<int> linearLinkState{0};
At<int> counterrortimeout{0};

At<double> TIME_LONG_PRESS{0.5};
At<int> number_ofStep_meter_FWD{60}, number_ofStep_meter_REFL{60}, number_ofStep_meter_SWR{60},
    number_ofStep_meter_PW{60};
At<int> fattoremedia{2};
At<double> PeakDecrement{1.0};
At<int> PeakDecrementTime{1};
At<int> TimerPeakSec{3000};
