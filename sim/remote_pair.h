#pragma once
// The two roots of a remote pair in the simulator: a station unit (the
// server, beside the transceiver) and an operator unit (the client) on one
// loopback port, both with the simulator's own pass phrase.
#include <string>
#include <vector>

namespace sim {

// Not the program's built-in default: the pair shows that a unit takes the
// owner's pass phrase from /opt/set/remote.txt.
inline constexpr char kPairPassword[] = "simulated pair 0417";
inline constexpr int kPairTcpPort = 6666;

struct SetupKey {
  std::string key, value;
};

// The setup lines that give a unit its part in the pair: the remote link as
// server ("1") or as client of 127.0.0.1 ("2") on tcpPort, and the CAT link
// on, so CAT text flows between the operator's CAT port and the station's
// transceiver.
std::vector<SetupKey> PairSetupKeys(bool station, int tcpPort);

// The setup text with every key of keys on one line of its value: the key's
// lines replaced by one, a missing key appended. Other lines stay as they are.
std::string SetSetupKeys(const std::string &text, const std::vector<SetupKey> &keys);

// remote.txt's text with the pair's pass phrase: Password lines the text
// already has are kept (a person may be trying another) unless replace is
// set; its other lines stay.
std::string WithPairPassword(const std::string &text, bool replace);

}  // namespace sim
