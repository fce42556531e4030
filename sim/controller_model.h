#pragma once
// The amplifier's controller as the simulator plays it. The model holds what
// the commands set and the readings the status frame reports: a command text
// goes in, a reply text comes out. It knows nothing of ports, check digits or
// injected faults (those belong to the wire, in controller_main.cpp), so it
// can grow into a physical model of the amplifier on its own.
#include <cstdint>
#include <string>

namespace sim {

struct ControllerModel {
  // ---- Set by the program's commands
  int antenna = 1;            // "SA%d;" (1..3)
  int anSel = 0;              // "AN%d;"
  uint32_t tuneVal = 0;       // "MT1%08X;": tuner relay word
  bool pad3dB = false;        // "ATxy;": x = 3 dB pad
  bool pad2dB = false;        //          y = 2 dB pad
  bool bypass = true;         // "AB1;" bypassed, "AB0;" operating
  bool protection = false;    // "MP1;" / "MP0;"
  int fanPercent = 0;         // "FN1%03d;"
  long long frequencyHz = 0;  // "FA%011lu;"
  int freqSensIn = 0;         // "FS%01d%04d;"
  int freqPeriod = 0;
  int thresholds[4] = {};                  // "TS..."
  int protections[4] = {};                 // "PS..."
  int genericMode[2] = {};                 // "GM..."
  int filterRelay = 0;                     // "SF30000%02x;"
  std::string genSettings = "0100000000";  // "GS;" / "GS%s;"
  int tuState = 0;                         // "TU1;" / "TU0;"
  bool startupAcked = false;               // "CPFFFF;"
  int resets = 0;                          // "MR1;" seen

  // ---- Readings reported by the status frame (the control channel sets them)
  bool transmitting = false;        // state bit 0
  bool highSwr = false;             // state bit 1
  bool stateBit2 = false;           // state bit 2
  int rawPw = 0;                    // input (drive) power reading
  int rawFwd = 0;                   // forward power reading
  int rawRefl = 0;                  // reflected power reading
  int current = 120;                // current reading 0..4095
  int temp1 = 1950;                 // board sensor reading (about 27 C)
  int temp2 = 1850;                 // heat-sink sensor reading (about 30 C)
  int fault = 0;                    // fault byte
  int peak = 0;                     // forward peak reading
  long long measuredHz = 14070000;  // what "FM;" reports

  // ---- Identity
  std::string version = "1.07sim";  // 7 characters
  std::string page0 = "OMBRIX SIMULATED CONTROLLER";
  std::string page1 = "SN 0000001";
  int model = '0';
  int powerClass = '0';  // '1' = high-power model
};

// Answers one command text ("ST;", "SA2;", ...) with the reply text, without
// check digits. A command the controller does not know, or one whose fields
// are malformed, is rejected with its letters and '?'.
std::string ControllerAnswer(ControllerModel *m, const std::string &command);
// The status frame of the model's present state.
std::string ControllerStatusFrame(const ControllerModel &m);
// Sets a reading or setting by name ("fwd", "temp1", "fault", ...). False for
// an unknown name or a value that does not scan.
bool ControllerSetValue(ControllerModel *m, const std::string &name, const std::string &value);
// The names ControllerSetValue takes, for help texts.
const char *ControllerValueNames();

}  // namespace sim
