#pragma once
// The setup file /opt/set/setup.txt: its keys, the fields of the record they
// fill, and reading and writing it.
#include <string>

#include "core/works.h"

// The NUL-terminated text of the field that starts at index (its width runs
// up to the next field).
std::string SetupText(const Works *works, int index);
// Stores text into the field at index, truncated to the field's width.
void SetSetupText(Works *works, int index, const char *text);
// Width in bytes (NUL included) of the text field at index; 0 if none starts there.
int SetupFieldWidth(int index);

void initSetup(Works *works);
void readSetup(Works *works);
// The factory default of the setup: settings and record to their defaults,
// written and read back. The run-time fields, the link's among them, stay.
void ResetSetup(Works *works);
// Formats the file now and hands it to the file writer.
int writeSetup(Works *works);
// The file's text as writeSetup would write it now (after refreshing the record).
std::string SetupFileText(Works *works);
// True when reading text would take every line of it as it stands: each a
// key of the setup, once, with a value its reader keeps (nothing cut,
// skipped or changed); empty lines aside. Else the first bad line (1-based)
// and a short error.
bool CheckSetupText(const std::string &text, int *line, std::string *error);
// The pass phrase a new setup record carries; a service that needs the
// owner's own refuses to run with it.
const char *DefaultRemotePassword();
