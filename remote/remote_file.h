#pragma once
// Settings an owner adds beside the setup file in /opt/set/remote.txt, in
// the setup file's "Key: value" style:
//   Password: TEXT     the pass phrase of the remote link and the web panel
//                      (1 to 125 printable characters)
//   WebPort: N         the web panel's TCP port (absent or 0: panel off)
//   WebBind: ADDRESS   the address the web panel listens on (default 0.0.0.0)
// A missing file leaves every default; a bad value is logged and ignored.
#include <string>

#include "core/works.h"

struct RemoteFileSettings {
  bool hasPassword = false;  // a valid Password line was read
  std::string password;
  int webPort = 0;
  std::string webBind = "0.0.0.0";
};

// Parses the file's text (any bytes); bad values are logged and skipped.
RemoteFileSettings ParseRemoteFile(const std::string &text);
// Reads /opt/set/remote.txt (through the path mapping); {} when it is missing.
RemoteFileSettings ReadRemoteFile();
// Reads the file and, when it holds a pass phrase, makes it works->remotePassword.
// Returns true when the pass phrase is the owner's own (not the built-in default).
bool ApplyRemoteFile(Works *works);
