// The simulator's key presser.
#include "sim/keys.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

namespace sim {

namespace {

uint32_t keyBits(const std::vector<int> &keys) {
  uint32_t bits = 0;
  for (int k : keys)
    if (k >= 1 && k <= 6) bits |= 1u << (kFirstKeyBit + k - 1);
  return bits;
}

uint32_t *level(KeyPanel *p) {
  return p->regs + kLevelOffset / 4;
}

void sleepSeconds(double s) {
  if (s > 0) std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

// "3" or "2+3" into keys; false when anything else is there.
bool parseKeys(const std::string &text, std::vector<int> *keys) {
  keys->clear();
  std::stringstream ss(text);
  std::string part;
  while (std::getline(ss, part, '+')) {
    if (part.size() != 1 || part[0] < '1' || part[0] > '6') return false;
    keys->push_back(part[0] - '0');
  }
  return !keys->empty() && text.back() != '+';
}

bool parseSeconds(const std::string &text, double *s) {
  char *end = nullptr;
  errno = 0;
  double v = strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != 0 || errno != 0 || !(v >= 0) || v > 600) return false;
  *s = v;
  return true;
}

}  // namespace

bool KeyPanelOpen(KeyPanel *p, const std::string &memPath, std::string *error) {
  int fd = open(memPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    *error = "can't open " + memPath + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  if (st.st_size < kGpioBlockBytes && ftruncate(fd, kGpioBlockBytes) != 0) {
    *error = "can't size " + memPath + ": " + strerror(errno);
    close(fd);
    return false;
  }
  void *map = mmap(nullptr, kGpioBlockBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    *error = "can't map " + memPath + ": " + strerror(errno);
    close(fd);
    return false;
  }
  p->fd = fd;
  p->regs = static_cast<uint32_t *>(map);
  uint32_t v = __atomic_load_n(level(p), __ATOMIC_SEQ_CST);
  __atomic_store_n(level(p), v | kAllKeys, __ATOMIC_SEQ_CST);
  return true;
}

void KeyPanelClose(KeyPanel *p) {
  if (p->regs != nullptr) munmap(p->regs, kGpioBlockBytes);
  if (p->fd >= 0) close(p->fd);
  p->regs = nullptr;
  p->fd = -1;
}

void KeysDown(KeyPanel *p, const std::vector<int> &keys) {
  std::lock_guard<std::mutex> lock(p->m);
  uint32_t v = __atomic_load_n(level(p), __ATOMIC_SEQ_CST);
  __atomic_store_n(level(p), v & ~keyBits(keys), __ATOMIC_SEQ_CST);
}

void KeysUp(KeyPanel *p, const std::vector<int> &keys) {
  std::lock_guard<std::mutex> lock(p->m);
  uint32_t v = __atomic_load_n(level(p), __ATOMIC_SEQ_CST);
  __atomic_store_n(level(p), v | keyBits(keys), __ATOMIC_SEQ_CST);
}

uint32_t KeyLevel(KeyPanel *p) {
  return __atomic_load_n(level(p), __ATOMIC_SEQ_CST);
}

bool ParseKeyCommand(const std::string &line, std::vector<KeyStep> *steps, std::string *error) {
  steps->clear();
  std::stringstream ss(line);
  std::vector<std::string> words;
  std::string w;
  while (ss >> w) words.push_back(w);
  for (size_t i = 0; i < words.size(); ++i) {
    KeyStep step;
    const std::string &word = words[i];
    auto next = [&](std::string *out) {
      if (i + 1 >= words.size()) return false;
      *out = words[++i];
      return true;
    };
    std::string a, b;
    if (word == "hold") {
      if (!next(&a) || !next(&b) || !parseKeys(a, &step.keys) || !parseSeconds(b, &step.seconds)) {
        *error = "hold wants keys and seconds, as in: hold 3 2.0";
        return false;
      }
    } else if (word == "down" || word == "up") {
      step.kind = word == "down" ? KeyStep::DOWN : KeyStep::UP;
      if (!next(&a) || !parseKeys(a, &step.keys)) {
        *error = word + " wants keys, as in: " + word + " 4";
        return false;
      }
    } else if (word == "wait") {
      step.kind = KeyStep::WAIT;
      if (!next(&a) || !parseSeconds(a, &step.seconds)) {
        *error = "wait wants seconds, as in: wait 0.5";
        return false;
      }
    } else if ((word[0] == 'L' || word[0] == 'l') && parseKeys(word.substr(1), &step.keys)) {
      step.seconds = kLongPressS;
    } else if (parseKeys(word, &step.keys)) {
      step.seconds = kShortPressS;
    } else {
      *error = "unknown key command: " + word;
      return false;
    }
    steps->push_back(step);
  }
  if (steps->empty()) {
    *error = "no key command";
    return false;
  }
  return true;
}

void RunKeySteps(KeyPanel *p, const std::vector<KeyStep> &steps) {
  for (const KeyStep &s : steps) {
    switch (s.kind) {
      case KeyStep::PRESS:
        KeysDown(p, s.keys);
        sleepSeconds(s.seconds);
        KeysUp(p, s.keys);
        sleepSeconds(kGapS);
        break;
      case KeyStep::DOWN: KeysDown(p, s.keys); break;
      case KeyStep::UP: KeysUp(p, s.keys); break;
      case KeyStep::WAIT: sleepSeconds(s.seconds); break;
    }
  }
}

}  // namespace sim
