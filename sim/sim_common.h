#pragma once
// Shared by the simulator's programs: the check value of the controller
// protocol and the places of the simulator's own files inside a root.
// Written apart from the program's code on purpose: the simulator checks
// the program's wire format against its own reading of the protocol.
#include <signal.h>

#include <cstdint>
#include <string>

namespace sim {

// SIGINT and SIGTERM call handler and are blocked outside the main loop's
// ppoll, which waits with *waitMask so a stop wakes it at once.
inline void InstallStopSignals(void (*handler)(int), sigset_t *waitMask) {
  struct sigaction sa = {};
  sa.sa_handler = handler;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigprocmask(SIG_BLOCK, &block, waitMask);
  sigdelset(waitMask, SIGINT);
  sigdelset(waitMask, SIGTERM);
}

// CRC-8 of the 1-Wire devices: reflected polynomial 0x8C, start 0, no final XOR.
inline uint8_t Crc8(const std::string &bytes) {
  uint8_t crc = 0;
  for (unsigned char b : bytes) {
    for (int bit = 0; bit < 8; ++bit) {
      bool mix = ((b ^ crc) & 1) != 0;
      crc = static_cast<uint8_t>(crc >> 1);
      if (mix) crc ^= 0x8C;
      b = static_cast<unsigned char>(b >> 1);
    }
  }
  return crc;
}

// Inside a root DIR: DIR/sim holds the simulator's control channels and logs.
inline std::string SimDir(const std::string &root) {
  return root + "/sim";
}
inline std::string ControllerCtl(const std::string &root) {
  return SimDir(root) + "/controller.ctl";
}
inline std::string ControllerLog(const std::string &root) {
  return SimDir(root) + "/controller.log";
}
inline std::string OmbrixLog(const std::string &root) {
  return SimDir(root) + "/ombrix.log";
}
inline std::string NebCtl(const std::string &root) {
  return SimDir(root) + "/neb.ctl";
}
inline std::string Ft817Ctl(const std::string &root) {
  return SimDir(root) + "/ft817.ctl";
}
inline std::string RigCtl(const std::string &root) {
  return SimDir(root) + "/rig.ctl";
}
// The operator unit's CAT terminal: its control channel and the
// pseudo-terminal a person or a test talks CAT on.
inline std::string CatTermCtl(const std::string &root) {
  return SimDir(root) + "/catterm.ctl";
}
inline std::string CatTerminal(const std::string &root) {
  return SimDir(root) + "/cat-terminal";
}
// What the NEB transceiver writes to the controller's channel when it starts
// or stops transmitting, with its drive in watts (0 when it stops).
inline constexpr char kNebDriveLine[] = "amp drive %g";
// The controller's serial port as the setup file names it.
inline constexpr char kControllerPort[] = "/dev/ttyAMA0";

}  // namespace sim
