#include "sim/remote_pair.h"

namespace sim {

namespace {

// The lines of text, each without its line end.
std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(start, nl - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
    start = nl + 1;
  }
  return out;
}

bool hasKey(const std::string &line, const std::string &key) {
  return line.compare(0, key.size() + 2, key + ": ") == 0;
}

}  // namespace

std::vector<SetupKey> PairSetupKeys(bool station, int tcpPort) {
  std::vector<SetupKey> keys = {
      {"WebSocket", station ? "1" : "2"}, {"TcpPort", std::to_string(tcpPort)}, {"EnableCAT", "1"}};
  if (!station) keys.push_back({"Server", "127.0.0.1"});
  return keys;
}

std::string SetSetupKeys(const std::string &text, const std::vector<SetupKey> &keys) {
  std::vector<bool> written(keys.size(), false);
  std::string out;
  for (const std::string &line : lines(text)) {
    size_t k = 0;
    while (k < keys.size() && !hasKey(line, keys[k].key)) ++k;
    if (k == keys.size()) {
      out += line + "\n";
    } else if (!written[k]) {
      out += keys[k].key + ": " + keys[k].value + "\n";
      written[k] = true;
    }
  }
  for (size_t k = 0; k < keys.size(); ++k)
    if (!written[k]) out += keys[k].key + ": " + keys[k].value + "\n";
  return out;
}

std::string WithPairPassword(const std::string &text, bool replace) {
  std::string out;
  bool has = false;
  for (const std::string &line : lines(text)) {
    bool password = hasKey(line, "Password");
    has = has || password;
    if (!(password && replace)) out += line + "\n";
  }
  if (replace || !has) out += std::string("Password: ") + kPairPassword + "\n";
  return out;
}

}  // namespace sim
