#pragma once
// LAN settings: the four addresses of /etc/network/interfaces, their octets
// as the menu edits them, and the connection text of the device command.
#include <cstdint>
#include <cstdio>
#include <string>

#include "core/works.h"

// Dotted texts as read from the file at start-up (written before the threads
// start, read-only afterwards).
extern char IP[32], NetMask[32], Gateway[32], DNS[32], MAC[32];
// Octets edited by the menu (front-panel thread) while the display draws them.
extern At<uint8_t> IP_v[4], NetMask_v[4], Gateway_v[4], DNS_v[4];
// 1 when the file has no gateway / no nameserver address.
extern At<uint8_t> Gateway_none, DNS_none;

// Splits dotted text at each '.' into at most four octets (decimal, as atoi;
// each kept as its low 8 bits). Octets without a part are left as they are.
void SplitAddr(const char *text, At<uint8_t> *octets);

// Reads the addresses from the interfaces file. 0, or -1 when it cannot be opened.
int ReadLanParam();
// The reading itself, from an open file (the addresses and flags as above).
void ReadLanParamFrom(FILE *f);
// Rewrites the file from the octets (every other line kept as it is) and
// restarts the interfaces. Returns the restart's status, or -1.
int SaveLanParam();
// The file's text with the address lines replaced (what SaveLanParam writes).
std::string RewriteLanFile(const std::string &original);
// Runs the device command and sets works->lanStatusText and works->uiUpdateAvail.
void ReadLANconnection(Works *works);
// The start-up thread that reads it once.
void *LANInfoThread(void *works);
// Applies the command's output (the part of ReadLANconnection after the run).
void ApplyLanConnection(Works *works, const std::string &output);
