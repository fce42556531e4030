// Placeholder for the front-panel work until audio streaming lands: no
// transceiver audio device.
#include "remote/remote.h"

int Get_AudioNEB(Works *) {
  return 0;
}
