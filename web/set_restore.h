#pragma once
// Replacing known files under /opt/set so that a power cut leaves all of
// them old or all new: each new file is first written beside the live one
// (NAME.restore), then a commit marker names them, then each is renamed over
// the live one and the marker goes. At the next start a marker means the
// renames are finished; staged files without one are deleted.
#include <string>
#include <vector>

#include "web/set_files.h"

constexpr char kRestoreMarker[] = "/opt/set/restore.commit";
constexpr char kStagedSuffix[] = ".restore";

// Replaces the files (names on the known list). Pending writes of them are
// dropped and later ones refused once the marker is written. False with the
// reason when nothing was changed.
bool ReplaceSetFiles(const std::vector<SetFileBytes> &files, std::string *why);
// At the start, before anything reads /opt/set: finishes or rolls back a
// replacement that a power cut interrupted.
void FinishSetFileReplacement();

// A restore asks the program to start again in place (read by main at the end).
void RequestRestart();
bool RestartRequested();
