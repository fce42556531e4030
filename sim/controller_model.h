#pragma once
// The amplifier's controller as the simulator plays it. The model holds what
// the commands set, and the physical model of the amplifier (amp_model.h)
// whose state the status frame reports: a command text goes in, a reply text
// comes out. It knows nothing of ports, check digits, clocks or injected wire
// faults (those belong to controller_main.cpp).
#include <cstdint>
#include <string>
#include <vector>

#include "sim/amp_model.h"
#include "sim/antenna_model.h"

namespace sim {

struct ControllerModel {
  // ---- The amplifier: pads, bypass, protection mode, fan, thresholds and
  // relay word as the program's commands set them; drive, load, heat and
  // faults as the control channel sets them. The status frame is built from it.
  AmpModel amp;

  // ---- Set by the program's commands (the rest lives in amp)
  int antenna = 1;            // "SA%d;" (1..3)
  int anSel = 0;              // "AN%d;"
  long long frequencyHz = 0;  // "FA%011lu;"
  int freqSensIn = 0;         // "FS%01d%04d;"
  int freqPeriod = 0;
  int protections[4] = {};                 // "PS..."
  int genericMode[2] = {};                 // "GM..."
  int filterRelay = 0;                     // "SF30000%02x;"
  std::string genSettings = "0100000000";  // "GS;" / "GS%s;"
  int tuState = 0;                         // "TU1;" / "TU0;"
  bool startupAcked = false;               // "CPFFFF;"
  int resets = 0;                          // "MR1;" seen

  // ---- Readings forced from the control channel ("set NAME VALUE"); -1
  // leaves the reading to the amplifier model ("set NAME auto").
  int rawPw = -1;                   // input (drive) power reading
  int rawFwd = -1;                  // forward power reading
  int rawRefl = -1;                 // reflected power reading
  int current = -1;                 // current reading 0..4095
  int temp1 = -1;                   // board sensor reading
  int temp2 = -1;                   // heat-sink sensor reading
  int peak = -1;                    // forward peak reading
  int transmitting = -1;            // state bit 0
  int highSwr = -1;                 // state bit 1
  int stateBit2 = -1;               // state bit 2
  long long measuredHz = 14070000;  // what "FM;" reports

  // ---- The tuner's load: the antenna behind each antenna port ("SA%d;"), a
  // built-in curve or a fixed impedance; a 50 ohm load on each until told
  // otherwise. With the tuner model in use (ControllerUseTuner) the
  // amplifier's load SWR follows from the relay word, the antenna of the
  // port in use and the carrier's frequency.
  struct PortLoad {
    const AntennaModel *antenna;  // nullptr: the fixed impedance z
    Impedance z;
  };
  PortLoad ports[3] = {{nullptr, {50, 0}}, {nullptr, {50, 0}}, {nullptr, {50, 0}}};

  // ---- Identity
  std::string version = "1.07sim";  // 7 characters
  std::string page0 = "OMBRIX SIMULATED CONTROLLER";
  std::string page1 = "SN 0000001";
  int model = '0';
  int powerClass = '0';  // '1' = high-power model (120 W class)
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
// Lets time pass for the amplifier (heat, the controller's own protection).
void ControllerAdvance(ControllerModel *m, double seconds);
// Sets a quantity of the amplifier model by name ("drive", "swr", "sink",
// ...). False for an unknown name or a value that does not scan.
bool ControllerSetAmp(ControllerModel *m, const std::string &name, const std::string &value);
// The names ControllerSetAmp takes, for help texts.
const char *ControllerAmpNames();
// Puts the tuner model in front of the amplifier (on), or leaves the load to
// the fixed SWR of "amp swr" (off). While on, the model must stay where it is.
void ControllerUseTuner(ControllerModel *m, bool on);
// The carrier's frequency: what "FM;" reports, else what "FA" set.
double ControllerFrequency(const ControllerModel &m);
// Impedance of the antenna on the port in use, at the carrier's frequency.
Impedance ControllerLoad(const ControllerModel &m);
// Control lines of the load: "antenna N NAME" (a built-in antenna on port
// N), "antenna N R X" (a fixed impedance in ohm), "tuner on|off".
bool ControllerSetLoad(ControllerModel *m, const std::vector<std::string> &words);
// The amplifier's state on one line of NAME=VALUE words.
std::string ControllerAmpState(const ControllerModel &m);

}  // namespace sim
