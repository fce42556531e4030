// Placeholder until the protection work lands: the two commands only.
#include "controller/link.h"
#include "controller/temperature.h"
#include "platform/log.h"

void AttivaDisattivaProtezione(Works *works, int on) {
  if (on) {
    IncPNTIn_CMDLinear(LP_MP1, works);
    IncPNTIn_CMDLinear(LP_AT_MAX, works);
    LogStderr("PROTEZIONE ON -------------\n");
  } else {
    IncPNTIn_CMDLinear(LP_MP0, works);
    LogStderr("PROTEZIONE OFF -------------\n");
  }
}
