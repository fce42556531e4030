// Sessions and login rules of the web panel.
#include "web/web_auth.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>

namespace {

template <class Map, class Key>
void forgetOldest(Map *m, Key lastOf) {
  auto oldest = m->begin();
  for (auto it = m->begin(); it != m->end(); ++it)
    if (lastOf(it->second) < lastOf(oldest->second)) oldest = it;
  if (oldest != m->end()) m->erase(oldest);
}

// Sessions are kept by the digest of their token, so looking one up reveals
// nothing about how much of a guessed token was right.
std::string tokenKey(const std::string &token) {
  unsigned char d[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char *>(token.data()), token.size(), d);
  return std::string(reinterpret_cast<const char *>(d), sizeof d);
}

}  // namespace

bool PassPhraseEqual(const std::string &a, const std::string &b) {
  // Digests first: equal lengths, so the comparison below is the same work
  // whatever the texts are.
  unsigned char da[SHA256_DIGEST_LENGTH], db[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char *>(a.data()), a.size(), da);
  SHA256(reinterpret_cast<const unsigned char *>(b.data()), b.size(), db);
  return CRYPTO_memcmp(da, db, sizeof da) == 0;
}

std::string NewSessionToken() {
  unsigned char bits[16];
  if (RAND_bytes(bits, sizeof bits) != 1) return std::string();
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bits) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

WebAuth::Login WebAuth::login(const std::string &address, const std::string &passPhrase,
                              long long nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  Login result;
  for (auto it = failures_.begin(); it != failures_.end();)
    it = nowMs - it->second.lastMs > kLoginForgetMs ? failures_.erase(it) : std::next(it);
  auto known = failures_.find(address);
  if (known != failures_.end() && nowMs < known->second.lockedUntilMs) {
    // Still paying for the last failure: no comparison, the same wait again.
    result.pauseMs = known->second.lockedUntilMs - nowMs;
    return result;
  }
  if (PassPhraseEqual(passPhrase, passPhrase_)) {
    std::string token = NewSessionToken();
    if (token.empty()) return result;
    if (known != failures_.end()) failures_.erase(known);
    if (sessions_.size() >= kMaxSessions) forgetOldest(&sessions_, [](long long t) { return t; });
    sessions_[tokenKey(token)] = nowMs;
    result.ok = true;
    result.session = token;
    return result;
  }
  if (known == failures_.end()) {
    if (failures_.size() >= kMaxLoginAddresses)
      forgetOldest(&failures_, [](const Failures &f) { return f.lastMs; });
    known = failures_.emplace(address, Failures()).first;
  }
  Failures &f = known->second;
  ++f.count;
  long long pause = kLoginPauseFirstMs;
  for (int i = 1; i < f.count && pause < kLoginPauseMaxMs; ++i) pause *= 2;
  result.pauseMs = std::min(pause, kLoginPauseMaxMs);
  f.lockedUntilMs = nowMs + result.pauseMs;
  f.lastMs = nowMs;
  return result;
}

bool WebAuth::check(const std::string &token, long long nowMs) {
  if (token.size() != 32) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = sessions_.find(tokenKey(token));
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
  sessions_.erase(tokenKey(token));
}
