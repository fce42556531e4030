#pragma once
// Every file under /opt/set that the program reads or writes, by its flat
// name, with the most it may hold and the strict check of its reader: what a
// backup takes and what a restore may bring back. A feature with a file of
// its own adds it to the list in set_files.cpp.
#include <cstddef>
#include <string>
#include <vector>

// True when the program's reader takes text as it is; else the first line
// (0: not one line) that it would skip, clamp, drop or repair, and why.
using SetFileCheck = bool (*)(const std::string &text, int *line, std::string *error);

struct KnownSetFile {
  std::string name;  // flat, under /opt/set
  size_t maxBytes;
  SetFileCheck check;
  bool secret;  // read by the owner alone (key, pass phrase, certificate): mode 0600
  // Appended to while it is read (and its last line may be torn by a power
  // cut): a backup takes it up to its last whole line.
  bool appended = false;
};

constexpr char kSetDir[] = "/opt/set/";

struct SetFileBytes {
  std::string name;  // flat, on the known list
  std::string bytes;
};

const std::vector<KnownSetFile> &KnownSetFiles();
// The entry of a flat name, or nullptr when the name is not on the list.
const KnownSetFile *FindKnownSetFile(const std::string &name);
// The device path of a known name: "/opt/set/" + name.
std::string SetFilePath(const std::string &name);

// Checks shared by several entries.
bool CheckSettingsText(const std::string &text, int *line, std::string *error);
bool CheckCertificatePem(const std::string &text, int *line, std::string *error);
bool CheckPrivateKeyPem(const std::string &text, int *line, std::string *error);
