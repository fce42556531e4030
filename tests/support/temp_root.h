#pragma once
// A temporary OMBRIX_ROOT for tests: /opt/set, /dev and the stand-in
// commands a device writer needs (mount that succeeds).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

class TempRoot {
 public:
  // base: where the root is made (a memory file system makes fsync cheap).
  explicit TempRoot(const std::string &base = "/tmp") {
    std::string tmpl = base + "/ombrix-test-XXXXXX";
    dir_ = mkdtemp(tmpl.data());
    for (const char *d : {"/bin", "/opt", "/opt/set", "/dev", "/etc", "/etc/network", "/tmp"})
      mkdir((dir_ + d).c_str(), 0755);
    writeScript("mount", "exit 0\n");
    setenv("OMBRIX_ROOT", dir_.c_str(), 1);
  }
  ~TempRoot() {
    unsetenv("OMBRIX_ROOT");
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }
  const std::string &dir() const { return dir_; }
  std::string path(const std::string &devicePath) const { return dir_ + devicePath; }
  void writeScript(const std::string &name, const std::string &body) const {
    std::string p = dir_ + "/bin/" + name;
    unlink(p.c_str());  // never write through a link to a system program
    std::ofstream(p) << "#!/bin/sh\n" << body;
    chmod(p.c_str(), 0755);
  }
  void writeFile(const std::string &devicePath, const std::string &text) const {
    std::ofstream(path(devicePath), std::ios::binary) << text;
  }
  std::string readFile(const std::string &devicePath) const {
    std::ifstream in(path(devicePath), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  bool exists(const std::string &devicePath) const {
    return access(path(devicePath).c_str(), F_OK) == 0;
  }

 private:
  std::string dir_;
};
