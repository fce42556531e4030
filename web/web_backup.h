#pragma once
// Backups of the files under /opt/set as a .tar.gz, and the strict reading
// of one brought back: flat names on the known list only, regular files,
// sizes within limits, every file in MANIFEST with its SHA-256, and every
// file taken by its reader as it is.
#include <ctime>
#include <string>
#include <vector>

#include "web/set_files.h"

constexpr size_t kMaxRestoreBody = 16 * 1024 * 1024;  // the compressed archive
constexpr size_t kMaxRestoreUnpacked = 64 * 1024 * 1024;
constexpr char kManifestName[] = "MANIFEST";
constexpr char kBackupInfoName[] = "BACKUP-INFO";

// The known files as they stand once the file writer's queue is through
// (missing ones left out, over-size ones logged and left out).
std::vector<SetFileBytes> CollectSetFiles();
// "ombrix-HOST-YYYYMMDD-HHMM.tar.gz" for the UTC time now.
std::string BackupFileName(const std::string &host, time_t now);
// The archive: the files, MANIFEST ("HEX  NAME" lines, sha256sum's own) and
// BACKUP-INFO (version, UTC date, host). False when the archive cannot be made.
bool MakeBackupArchive(const std::vector<SetFileBytes> &files, const std::string &version,
                       const std::string &host, time_t now, std::string *out);

// The first thing wrong with an archive brought back.
struct RestoreProblem {
  std::string file;  // "" when not about one entry
  int line = 0;      // 0 when not about one line
  std::string error;
};
// {"file": ..., "line": ..., "error": ...} (null for no file or line).
std::string RestoreProblemJson(const RestoreProblem &p);
// Reads archive (gzip'd tar) and checks all of it; the known files it holds
// (MANIFEST and BACKUP-INFO left out), or false with the first problem.
bool ReadRestoreArchive(const std::string &archive, std::vector<SetFileBytes> *files,
                        RestoreProblem *problem);
