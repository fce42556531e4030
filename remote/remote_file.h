#pragma once
// Settings an owner adds beside the setup file in /opt/set/remote.txt, in
// the setup file's "Key: value" style:
//   Password: TEXT     the pass phrase of the remote link and the web panel
//                      (1 to 125 printable characters)
//   WebPort: N         the web panel's TCP port (absent or 0: panel off)
//   WebBind: ADDRESS   the address the web panel listens on (default 0.0.0.0)
//   WebTls: 0|1        HTTPS (default 1); 0 serves plain HTTP
//   WebCert: PATH      the owner's certificate (PEM) for HTTPS and the station's
//   WebKey: PATH       side of the unit link, with its private key; without
//                      them the unit makes and keeps its own
//   WebHost: NAME[,NAME...]  host names the web panel answers to besides IP
//                      addresses, localhost and the unit's host name
//   RemoteTls: 0|1     the unit link inside TLS (default 0), on both units
//   StationFingerprint: HEX  the station certificate's SHA-256 (64 hex digits,
//                      colons allowed) that an operator unit accepts; it wins
//                      over the fingerprint pinned at first contact
// A missing file leaves every default; a bad value is logged and ignored.
#include <string>
#include <vector>

#include "core/works.h"

struct RemoteFileSettings {
  bool hasPassword = false;  // a valid Password line was read
  std::string password;
  int webPort = 0;
  std::string webBind = "0.0.0.0";
  bool webTls = true;
  std::string webCert, webKey;        // both or neither
  std::vector<std::string> webHosts;  // lowercase
  bool remoteTls = false;
  std::string stationFingerprint;  // 64 lowercase hex digits, or empty
};

// 64 lowercase hex digits from a fingerprint written with or without colons,
// in either case; "" when it is not one.
std::string NormalFingerprint(const std::string &text);

// Parses the file's text (any bytes); bad values are logged and skipped.
RemoteFileSettings ParseRemoteFile(const std::string &text);
// True when ParseRemoteFile takes text without ignoring anything; else the
// first line it would ignore and why.
bool CheckRemoteFileText(const std::string &text, int *line, std::string *error);
// Reads /opt/set/remote.txt (through the path mapping); {} when it is missing.
RemoteFileSettings ReadRemoteFile();
// Reads the file and, when it holds a pass phrase, makes it works->remotePassword.
// Returns true when the pass phrase is the owner's own (not the built-in default).
bool ApplyRemoteFile(Works *works);
// The same for settings already read.
bool ApplyRemoteSettings(Works *works, const RemoteFileSettings &settings);
