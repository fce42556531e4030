#pragma once
// The Hamlib reader: in the Hamlib mode of work it asks a rigctld for the
// transceiver's frequency ("f") over TCP, one request at a time, and keeps
// works->rigFrequency up to date. Where to find the daemon and how often to
// ask stand in /opt/set/rig.txt, in the setup file's "Key: value" style:
//   Rigctld: HOST:PORT   the daemon (default 127.0.0.1:4532; a host name,
//                        an IPv4 address or an IPv6 address in brackets)
//   Poll: MS             milliseconds from one request to the next (50..2000,
//                        default 200)
// A missing file leaves the defaults; a bad value is logged and ignored.
//
// The answer and settings parsers are pure, so tests and fuzzers call them
// directly; the thread around them only moves bytes.
#include <netdb.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/works.h"

constexpr int kRigLineMax = 64;  // longer answer lines end the connection

struct RigSettings {
  std::string host = "127.0.0.1";
  int port = 4532;
  int pollMs = 200;
};

// Parses the file's text (any bytes); bad values are logged and skipped.
RigSettings ParseRigFile(const std::string &text);
// True when ParseRigFile takes text without ignoring anything; else the
// first line it would ignore and why.
bool CheckRigFileText(const std::string &text, int *line, std::string *error);
// Reads /opt/set/rig.txt (through the path mapping); the defaults when it is missing.
RigSettings ReadRigFile();

enum RigAnswer : int {
  RIG_FREQUENCY,  // digits only, at most 2147483647: *hz holds it
  RIG_REPORT,     // "RPRT N": the daemon's status report, *report holds N
  RIG_REFUSED,    // anything else
};
// Parses one answer line, without its line feed (a carriage return before
// it is allowed). Any bytes.
RigAnswer ParseRigAnswer(const char *line, size_t n, int32_t *hz, int *report);

// Thread body ("rigctl"): reads the file, then follows the daemon while
// works->running and works->rigRun are set.
void *RigctlReader(void *works);

// The name lookup the reader uses, getaddrinfo's shape; tests put in one of
// their own (nullptr: getaddrinfo). Whatever it returns is freed with
// freeaddrinfo. Set only while no reader runs.
using RigResolver = int (*)(const char *host, const char *service, const addrinfo *hints,
                            addrinfo **result);
void SetRigResolver(RigResolver resolver);
// The reader's loop with settings given, for tests; returns when it must stop.
void RigctlRun(Works *works, const RigSettings &settings);
