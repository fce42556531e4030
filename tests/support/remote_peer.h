#pragma once
// Remote-link tests with the real program: a unit's root in either role, the
// operator's own CAT port, and a raw TCP peer of the station written in the
// test (from any loopback source address, 127.x.y.z).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "remote/websocket.h"
#include "support/pty.h"
#include "support/sim_harness.h"
#include "support/wait.h"

namespace simtest {

// A unit's root: controller link, refresh loop, the remote link in the given
// role, bank 1 in NEB mode (the station follows its transceiver, the
// operator the parameters its peer sends). remoteExtra: more lines of
// remote.txt after the pass phrase.
inline void PrepareRemoteUnit(const SimRoot &root, char role, int port, const char *password,
                              bool cat, const std::string &remoteExtra = "") {
  std::string setup =
      "EnableKeyb: 0\nEnableGPIO: 0\nEnableRead: 0\nEnableWrite: 0\nEnableFFT: 0\n"
      "EnableLinear: 1\nEnableTime: 1\nLinPort: /dev/ttyAMA0\nSerPort: /dev/ttyUSB1\n"
      "NumBanco: 1\nServer: 127.0.0.1\n";
  setup += std::string("WebSocket: ") + role + "\nTcpPort: " + std::to_string(port) + "\n";
  setup += std::string("EnableCAT: ") + (cat ? "1" : "0") + "\n";
  root.writeFile("/opt/set/setup.txt", setup);
  root.writeFile("/opt/set/antenna_b1.txt",
                 "!Neb\n40m 7000000 7300000 1 2 0 0 0.0\n20m 14000000 14350000 1 1 0 0 0.0\n");
  if (password != nullptr || !remoteExtra.empty())
    root.writeFile(
        "/opt/set/remote.txt",
        (password != nullptr ? std::string("Password: ") + password + "\n" : "") + remoteExtra);
}

inline std::string ReadRootFile(const SimRoot &root, const std::string &devicePath) {
  std::ifstream in(root.path(devicePath), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The operator's own CAT port: answers the probe and keeps what it is sent.
struct CatPort {
  TestPty pty;
  std::mutex m;
  std::string seen;
  std::atomic<bool> done{false};
  std::thread reader;
  CatPort() {
    reader = std::thread([this] {
      while (!done) {
        std::vector<uint8_t> b = pty.read(64, 50);
        if (b.empty()) continue;
        std::lock_guard<std::mutex> lock(m);
        seen.append(b.begin(), b.end());
        if (seen.find("DT;") != std::string::npos) {
          seen.erase(seen.find("DT;"), 3);
          pty.write("DT001;");
        }
      }
    });
  }
  ~CatPort() {
    done = true;
    reader.join();
  }
  bool waitFor(const std::string &text, std::chrono::milliseconds within) {
    return WaitUntil(
        [&] {
          std::lock_guard<std::mutex> lock(m);
          return seen.find(text) != std::string::npos;
        },
        within);
  }
};

// A raw TCP peer of the station on loopback.
struct Peer {
  int fd = -1;
  // Connects, retrying for up to 10 s while nobody listens; source: the
  // loopback address to connect from (nullptr: the system's choice).
  explicit Peer(int port, const char *source = nullptr, int tries = 100) {
    for (int i = 0; i < tries; ++i) {
      fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (source != nullptr) {
        sockaddr_in s = {};
        s.sin_family = AF_INET;
        if (inet_pton(AF_INET, source, &s.sin_addr) != 1 ||
            bind(fd, reinterpret_cast<sockaddr *>(&s), sizeof s) != 0) {
          close(fd);
          fd = -1;
          return;  // never from another address than the one asked for
        }
      }
      sockaddr_in a = {};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<uint16_t>(port));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return;
      close(fd);
      fd = -1;
      if (i + 1 < tries) poll(nullptr, 0, 100);
    }
  }
  ~Peer() {
    if (fd >= 0) close(fd);
  }
  bool ok() const { return fd >= 0; }
  // False when the station has closed the connection.
  bool send(const std::string &bytes) const {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  // What arrives until the text is in, the peer closes or the deadline passes.
  std::string readUntil(const std::string &text, std::chrono::milliseconds within) const {
    std::string got;
    auto end = std::chrono::steady_clock::now() + within;
    while (got.find(text) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[2048];
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }
  // True when the station has closed the connection within the deadline.
  bool closedWithin(std::chrono::milliseconds within) const {
    auto end = std::chrono::steady_clock::now() + within;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buf[2048];
      if (recv(fd, buf, sizeof buf, 0) <= 0) return true;
    }
  }
  static std::string RequestText(const std::string &key) {
    std::string lines[6];
    WsClientRequestLines("127.0.0.1", 0, key, lines);
    std::string all;
    for (const auto &l : lines) all += l;
    return all;
  }
  // Our own request, then the station's response; returns the response.
  std::string handshake(const std::string &key,
                        std::chrono::milliseconds within = std::chrono::milliseconds(10000)) const {
    std::string lines[6];
    WsClientRequestLines("127.0.0.1", 0, key, lines);
    for (const auto &l : lines)
      if (!send(l)) return "";
    return readUntil("chat\r\n\r\n", within);
  }
  static std::string TextFrame(const std::string &payload) {
    uint8_t f[6 + 125];
    int n = WsBuildText(f, payload.data(), static_cast<int>(payload.size()));
    return std::string(reinterpret_cast<char *>(f), static_cast<size_t>(n));
  }
  bool text(const std::string &payload) const { return send(TextFrame(payload)); }
  bool binary(const char *type, const std::string &data) const {
    uint8_t f[4 + 123];
    int n = WsBuildShort(f, type, data.data(), static_cast<int>(data.size()));
    return send(std::string(reinterpret_cast<char *>(f), static_cast<size_t>(n)));
  }
};

// A process's peak resident memory (VmHWM) in KiB, -1 when unknown.
inline long PeakMemoryKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 6, "VmHWM:") == 0) return std::stol(line.substr(6));
  return -1;
}

}  // namespace simtest
