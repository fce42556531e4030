// Sessions and login rules of the web panel.
#include "web/web_auth.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>

namespace {

constexpr size_t kDeviceBytes = 32;

std::string hexOf(const unsigned char *bytes, size_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 15];
  }
  return out;
}

std::string randomHex(size_t bytes) {
  unsigned char bits[64];
  if (bytes > sizeof bits || RAND_bytes(bits, static_cast<int>(bytes)) != 1) return std::string();
  return hexOf(bits, bytes);
}

std::string digestOf(const std::string &text) {
  unsigned char d[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char *>(text.data()), text.size(), d);
  return std::string(reinterpret_cast<const char *>(d), sizeof d);
}

// Devices are remembered by the digest of their cookie, so the file holds
// nothing that would open the exemption to whoever reads it.
std::string deviceKey(const std::string &cookie) {
  if (cookie.size() != 2 * kDeviceBytes ||
      cookie.find_first_not_of("0123456789abcdef") != std::string::npos)
    return std::string();
  std::string d = digestOf(cookie);
  return hexOf(reinterpret_cast<const unsigned char *>(d.data()), d.size());
}

}  // namespace

bool PassPhraseEqual(const std::string &a, const std::string &b) {
  // Digests first: equal lengths, so the comparison below is the same work
  // whatever the texts are.
  std::string da = digestOf(a), db = digestOf(b);
  return CRYPTO_memcmp(da.data(), db.data(), da.size()) == 0;
}

std::string NewSessionToken() {
  return randomHex(16);
}

WebAuth::Login WebAuth::login(const std::string &address, const std::string &passPhrase,
                              long long nowMs, const std::string &deviceCookie,
                              long long wallSeconds) {
  Login result;
  const std::string device = deviceKey(deviceCookie);
  const bool owners = !device.empty() && devices_.contains(device, wallSeconds);
  const std::string key = owners ? "device:" + device : address;
  GuessVerdict verdict = AdmitGuess(&pauses_, budget_, key, owners, nowMs);
  if (!verdict.compare) {
    result.pauseMs = verdict.retryMs;
    return result;
  }
  result.compared = true;
  const bool ok = PassPhraseEqual(passPhrase, passPhrase_);
  long long pause = RecordGuess(&pauses_, budget_, key, owners, ok, nowMs);
  if (!ok) {
    result.pauseMs = pause;
    return result;
  }
  std::string token = NewSessionToken();
  std::string cookie = owners ? deviceCookie : randomHex(kDeviceBytes);
  if (token.empty() || cookie.empty()) return result;
  result.devicesChanged = devices_.remember(owners ? device : deviceKey(cookie), wallSeconds);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sessions_.size() >= kMaxSessions)
      sessions_.erase(std::min_element(sessions_.begin(), sessions_.end(),
                                       [](auto &a, auto &b) { return a.second < b.second; }));
    sessions_[digestOf(token)] = nowMs;
  }
  result.ok = true;
  result.session = token;
  result.device = cookie;
  return result;
}

bool WebAuth::check(const std::string &token, long long nowMs) {
  if (token.size() != 32) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  // Sessions are kept by the digest of their token, so looking one up
  // reveals nothing about how much of a guessed token was right.
  auto it = sessions_.find(digestOf(token));
  if (it == sessions_.end()) return false;
  if (nowMs - it->second > kSessionIdleMs) {
    sessions_.erase(it);
    return false;
  }
  it->second = nowMs;
  return true;
}

void WebAuth::logout(const std::string &token) {
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_.erase(digestOf(token));
}
