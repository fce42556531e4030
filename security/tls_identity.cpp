#include "security/tls_identity.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <memory>
#include <mutex>

#include "core/file_writer.h"
#include "platform/log.h"
#include "platform/platform.h"

namespace {

constexpr long kValidDays = 3652;  // ten years
constexpr size_t kMaxPemBytes = 64 * 1024;

struct BioFree {
  void operator()(BIO *b) const { BIO_free(b); }
};
struct X509Free {
  void operator()(X509 *x) const { X509_free(x); }
};
struct KeyFree {
  void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;

BioPtr memoryOf(const std::string &text) {
  return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

std::string textOf(BIO *bio) {
  char *data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

X509Ptr certOf(const std::string &pem) {
  BioPtr bio = memoryOf(pem);
  return X509Ptr(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

KeyPtr keyOf(const std::string &pem) {
  BioPtr bio = memoryOf(pem);
  // An empty pass phrase callback: an encrypted key fails instead of asking.
  return KeyPtr(bio ? PEM_read_bio_PrivateKey(
                          bio.get(), nullptr, [](char *, int, int, void *) { return 0; }, nullptr)
                    : nullptr);
}

std::string fingerprintOf(X509 *cert) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (X509_digest(cert, EVP_sha256(), md, &n) != 1) return std::string();
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < n; ++i) {
    hex += kHex[md[i] >> 4];
    hex += kHex[md[i] & 15];
  }
  return hex;
}

bool readSmallFile(const std::string &devicePath, std::string *out) {
  // One byte more than a PEM file may hold tells an oversized one.
  return ReadSetFileText(devicePath, kMaxPemBytes + 1, out) && out->size() <= kMaxPemBytes;
}

bool addExtension(X509 *cert, int nid, const std::string &value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (ext == nullptr) return false;
  int ok = X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
  return ok == 1;
}

// The unit's own addresses, for the certificate's alternative names.
std::vector<std::string> unitAddresses() {
  std::vector<std::string> out;
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (ifaddrs *a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr) continue;
    char text[INET6_ADDRSTRLEN] = "";
    if (a->ifa_addr->sa_family == AF_INET)
      inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(a->ifa_addr)->sin_addr, text,
                sizeof text);
    else if (a->ifa_addr->sa_family == AF_INET6)
      inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 *>(a->ifa_addr)->sin6_addr, text,
                sizeof text);
    else
      continue;
    std::string t = text;
    if (t.empty() || t == "127.0.0.1" || t.find('%') != std::string::npos) continue;
    bool seen = false;
    for (const auto &s : out) seen = seen || s == t;
    if (!seen && out.size() < 16) out.push_back(t);
  }
  freeifaddrs(list);
  return out;
}

std::string unitHostName() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == 0) return "ombrix";
  return name;
}

}  // namespace

bool MakeSelfSignedIdentity(const std::string &hostName, const std::vector<std::string> &addresses,
                            TlsIdentity *out) {
  KeyPtr key(EVP_EC_gen("P-256"));
  X509Ptr cert(X509_new());
  if (!key || !cert) return false;
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) return false;
  serial[0] &= 0x7f;  // a positive serial number
  BIGNUM *bn = BN_bin2bn(serial, sizeof serial, nullptr);
  ASN1_INTEGER *sn = bn != nullptr ? BN_to_ASN1_INTEGER(bn, nullptr) : nullptr;
  BN_free(bn);
  if (sn == nullptr) return false;
  int ok = X509_set_serialNumber(cert.get(), sn);
  ASN1_INTEGER_free(sn);
  const std::string cn = hostName.empty() ? "ombrix" : hostName.substr(0, 63);
  X509_NAME *name = X509_get_subject_name(cert.get());
  ok = ok && X509_set_version(cert.get(), 2) == 1 &&
       X509_time_adj_ex(X509_getm_notBefore(cert.get()), -1, 0, nullptr) != nullptr &&
       X509_time_adj_ex(X509_getm_notAfter(cert.get()), kValidDays, 0, nullptr) != nullptr &&
       X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                  reinterpret_cast<const unsigned char *>(cn.c_str()), -1, -1,
                                  0) == 1 &&
       X509_set_issuer_name(cert.get(), name) == 1 && X509_set_pubkey(cert.get(), key.get()) == 1;
  std::string alt = "DNS:" + cn + ",DNS:localhost,IP:127.0.0.1";
  for (const std::string &a : addresses) alt += ",IP:" + a;
  ok = ok && addExtension(cert.get(), NID_subject_alt_name, alt) &&
       addExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE") &&
       addExtension(cert.get(), NID_key_usage, "critical,digitalSignature") &&
       addExtension(cert.get(), NID_ext_key_usage, "serverAuth") &&
       X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
  if (!ok) return false;
  BioPtr certBio(BIO_new(BIO_s_mem())), keyBio(BIO_new(BIO_s_mem()));
  if (!certBio || !keyBio || PEM_write_bio_X509(certBio.get(), cert.get()) != 1 ||
      PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
    return false;
  out->certPem = textOf(certBio.get());
  out->keyPem = textOf(keyBio.get());
  out->fingerprint = fingerprintOf(cert.get());
  return !out->fingerprint.empty();
}

bool CheckIdentity(TlsIdentity *identity, std::string *why) {
  X509Ptr cert = certOf(identity->certPem);
  if (!cert) {
    *why = "the certificate is not a PEM certificate";
    return false;
  }
  KeyPtr key = keyOf(identity->keyPem);
  if (!key) {
    *why = "the key is not an unencrypted PEM private key";
    return false;
  }
  if (X509_check_private_key(cert.get(), key.get()) != 1) {
    *why = "the key does not belong to the certificate";
    return false;
  }
  identity->fingerprint = fingerprintOf(cert.get());
  return !identity->fingerprint.empty();
}

bool UnitIdentity(const std::string &ownerCert, const std::string &ownerKey, TlsIdentity *out,
                  std::string *why) {
  static std::mutex mutex;
  static bool loaded = false;
  static TlsIdentity cached;
  std::lock_guard<std::mutex> lock(mutex);
  if (loaded) {
    *out = cached;
    return true;
  }
  TlsIdentity id;
  const bool owners = !ownerCert.empty() && !ownerKey.empty();
  const std::string certPath = owners ? ownerCert : kUnitCertFile;
  const std::string keyPath = owners ? ownerKey : kUnitKeyFile;
  std::string reason;
  bool have = readSmallFile(certPath, &id.certPem) && readSmallFile(keyPath, &id.keyPem) &&
              CheckIdentity(&id, &reason);
  if (!have && owners) {
    *why = certPath + " and " + keyPath + ": " + (reason.empty() ? "can't be read" : reason);
    return false;
  }
  if (!have) {
    if (!reason.empty())
      LogErr("TLS certificate %s: %s; a new one is made", kUnitCertFile, reason.c_str());
    if (!MakeSelfSignedIdentity(unitHostName(), unitAddresses(), &id)) {
      *why = "a certificate could not be made";
      return false;
    }
    // The key first: a cut between the two writes leaves a pair that does
    // not match, and the next start makes a new one.
    if (QueueSetFile(kUnitKeyFile, id.keyPem, 0600) != 0 ||
        QueueSetFile(kUnitCertFile, id.certPem, 0600) != 0)
      LogErr("TLS certificate not stored: a new one is made at the next start");
    // Once in the unit's life: the files are on the card before the
    // fingerprint is logged, so whoever reads that line finds them.
    DrainFileWriter();
    LogInfo("TLS certificate made: %s", kUnitCertFile);
  }
  LogInfo("TLS certificate %s SHA-256 fingerprint %s", certPath.c_str(),
          FingerprintWithColons(id.fingerprint).c_str());
  cached = id;
  loaded = true;
  *out = id;
  return true;
}

std::string FingerprintWithColons(const std::string &hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    if (!out.empty()) out += ':';
    out += static_cast<char>(toupper(static_cast<unsigned char>(hex[i])));
    out += static_cast<char>(toupper(static_cast<unsigned char>(hex[i + 1])));
  }
  return out;
}

SSL_CTX *NewTlsServerContext(const TlsIdentity &identity, std::string *why) {
  SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) {
    *why = "no TLS context";
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  X509Ptr cert = certOf(identity.certPem);
  KeyPtr key = keyOf(identity.keyPem);
  if (!cert || !key || SSL_CTX_use_certificate(ctx, cert.get()) != 1 ||
      SSL_CTX_use_PrivateKey(ctx, key.get()) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
    *why = "the certificate or its key does not load";
    SSL_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

SSL_CTX *NewTlsClientContext() {
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  return ctx;
}

std::string TlsPeerFingerprint(SSL *ssl) {
  X509Ptr cert(SSL_get1_peer_certificate(ssl));
  return cert ? fingerprintOf(cert.get()) : std::string();
}
