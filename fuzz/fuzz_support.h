#pragma once
// What the fuzz targets share: one Works record with its setup, and a
// temporary root for the readers that take their bytes from a file by path.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "core/setup.h"
#include "core/works.h"

namespace fuzz {

// A record with a new setup, kept for the whole run.
inline Works *Record() {
  static std::unique_ptr<Works> works = [] {
    auto w = std::make_unique<Works>();
    static Lumosetup setup;
    w->setup = &setup;
    initSetup(w.get());
    return w;
  }();
  return works.get();
}

// A root with /opt/set, made on first use and removed at exit; OMBRIX_ROOT
// points at it, so the readers open what WriteDeviceFile put there.
inline const std::string &Root() {
  static const std::string root = [] {
    char tmpl[] = "/tmp/ombrix-fuzz-XXXXXX";
    std::string dir = mkdtemp(tmpl) != nullptr ? tmpl : "/tmp";
    for (const char *d : {"/opt", "/opt/set", "/bin", "/tmp"}) mkdir((dir + d).c_str(), 0755);
    setenv("OMBRIX_ROOT", dir.c_str(), 1);
    static std::string removeCmd = "rm -rf '" + dir + "'";
    atexit([] {
      if (system(removeCmd.c_str()) != 0) {
      }
    });
    return dir;
  }();
  return root;
}

// Puts exactly these bytes at the device path under the root.
inline void WriteDeviceFile(const char *devicePath, const uint8_t *data, size_t size) {
  std::string path = Root() + devicePath;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) __builtin_trap();
  for (size_t done = 0; done < size;) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) __builtin_trap();
    done += static_cast<size_t>(n);
  }
  close(fd);
}

}  // namespace fuzz
