// Placeholder address globals until the LAN settings land (the menu and the
// status page show them).
#include "network/lan.h"

char IP[32], NetMask[32], Gateway[32], DNS[32];
At<uint8_t> IP_v[4], NetMask_v[4], Gateway_v[4], DNS_v[4];
