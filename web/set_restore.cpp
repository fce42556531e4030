// Staged replacement of the files under /opt/set and its roll-forward.
#include "web/set_restore.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include "core/file_writer.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "web/set_files.h"

namespace {

std::atomic<bool> gRestart{false};

std::string stagedPath(const std::string &name) {
  return SetFilePath(name) + kStagedSuffix;
}

void removeStaged() {
  for (const KnownSetFile &f : KnownSetFiles())
    if (FileExists(stagedPath(f.name))) RemoveFile(stagedPath(f.name));
}

// The renames of the names in the marker's text; staged files already gone
// were renamed before.
bool renameStaged(const std::string &marker) {
  bool ok = true;
  size_t start = 0;
  while (start < marker.size()) {
    size_t end = marker.find('\n', start);
    if (end == std::string::npos) end = marker.size();
    std::string name = marker.substr(start, end - start);
    start = end + 1;
    if (FindKnownSetFile(name) == nullptr || !FileExists(stagedPath(name))) continue;
    if (RenameFileDurable(stagedPath(name), SetFilePath(name)) != 0) {
      LogErr("Restore: can't rename %s error %d", stagedPath(name).c_str(), errno);
      ok = false;
    }
  }
  return ok;
}

}  // namespace

bool ReplaceSetFiles(const std::vector<SetFileBytes> &files, std::string *why) {
  if (!RemountRW()) {
    *why = "/opt/set cannot be written";
    return false;
  }
  std::string marker;
  std::vector<std::string> paths;
  bool ok = true;
  for (const SetFileBytes &f : files) {
    const KnownSetFile *known = FindKnownSetFile(f.name);
    if (known == nullptr) continue;
    if (WriteFileAtomic(MapPath(stagedPath(f.name)), f.bytes, known->secret ? 0600 : 0644) != 0) {
      *why = "can't write " + stagedPath(f.name) + ": " + strerror(errno);
      ok = false;
      break;
    }
    marker += f.name + "\n";
    paths.push_back(SetFilePath(f.name));
  }
  if (!ok) {
    removeStaged();
    RemountRO();
    return false;
  }
  // From here on the files are the archive's: what the running program
  // still had to write of them is dropped, and so is whatever it writes
  // before it starts again.
  FreezeSetFiles(paths);
  if (WriteFileAtomic(MapPath(kRestoreMarker), marker, 0644) != 0) {
    *why = std::string("can't write the commit marker: ") + strerror(errno);
    removeStaged();
    // Nothing was replaced: the program goes on writing its own files.
    ThawSetFiles(paths);
    RemountRO();
    return false;
  }
  // Committed. A file that does not rename now keeps the marker, so the
  // next start finishes the renames instead of rolling back only part.
  if (renameStaged(marker)) RemoveFile(kRestoreMarker);
  RemountRO();
  return true;
}

void FinishSetFileReplacement() {
  bool marker = FileExists(kRestoreMarker);
  bool staged = false;
  for (const KnownSetFile &f : KnownSetFiles()) staged = staged || FileExists(stagedPath(f.name));
  if (!marker && !staged) return;
  if (!RemountRW()) return;
  if (marker) {
    std::string text;
    ReadSetFileText(kRestoreMarker, 64 * 1024, &text);
    LogInfo("Restore interrupted after its commit: finishing it");
    if (!renameStaged(text)) {
      RemountRO();
      return;  // tried again at the next start; nothing staged is lost
    }
    RemoveFile(kRestoreMarker);
  } else {
    LogInfo("Restore interrupted before its commit: the staged files are deleted");
  }
  removeStaged();
  RemountRO();
}

void RequestRestart() {
  gRestart = true;
}

bool RestartRequested() {
  return gRestart;
}
