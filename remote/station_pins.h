#pragma once
// The stations an operator unit has met over TLS, as SSH keeps host keys:
// /opt/set/remote-known.txt holds one line "HOST:PORT HEX" per station (HEX:
// the SHA-256 fingerprint of its certificate, 64 lowercase hex digits). The
// first completed TLS handshake with a station pins its fingerprint, before
// the pass phrase is sent; a different one later is refused. The owner's
// StationFingerprint in remote.txt wins over the file.
#include <string>

constexpr char kKnownStationsFile[] = "/opt/set/remote-known.txt";
constexpr int kMaxStationPins = 64;

// The fingerprint pinned for HOST:PORT in the file's text, "" when none.
// Lines that are not a station and a fingerprint are skipped.
std::string PinnedFingerprint(const std::string &text, const std::string &hostPort);
// The file's text with HOST:PORT pinned to hex (its old line replaced, bad
// lines dropped, at most kMaxStationPins lines).
std::string WithStationPin(const std::string &text, const std::string &hostPort,
                           const std::string &hex);

// The file as it stands ("" when missing), and writing a pin into it.
std::string ReadStationPins();
bool PinStation(const std::string &hostPort, const std::string &hex);
