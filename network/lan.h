#pragma once
#include <cstdint>

#include "core/works.h"

// The addresses as read from /etc/network/interfaces (written at start-up).
extern char IP[32], NetMask[32], Gateway[32], DNS[32];
// Their octets, edited by the menu while the screen shows them.
extern At<uint8_t> IP_v[4], NetMask_v[4], Gateway_v[4], DNS_v[4];

int ReadLanParam();
int SaveLanParam();
void ReadLANconnection(Works *works);
