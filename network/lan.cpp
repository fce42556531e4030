// Placeholder until the LAN settings are built.
#include "network/lan.h"

int ReadLanParam() { return 0; }
int SaveLanParam() { return 0; }
void ReadLANconnection(Works *) {}
