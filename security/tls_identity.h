#pragma once
// The unit's TLS identity: the certificate that the web panel and the
// station's side of the unit link present. The owner may name a certificate
// of their own in remote.txt; otherwise the unit makes a self-signed one at
// its first start and keeps it in /opt/set, so browsers and operator units
// that pinned it keep trusting it.
#include <openssl/ssl.h>

#include <string>
#include <vector>

constexpr char kUnitCertFile[] = "/opt/set/web-cert.pem";
constexpr char kUnitKeyFile[] = "/opt/set/web-key.pem";

struct TlsIdentity {
  std::string certPem;
  std::string keyPem;
  std::string fingerprint;  // SHA-256 of the certificate: 64 lowercase hex digits
};

// A self-signed ECDSA P-256 certificate valid for 10 years, named after
// hostName, with hostName, localhost, 127.0.0.1 and every given address as
// subject alternative names. False when OpenSSL fails.
bool MakeSelfSignedIdentity(const std::string &hostName, const std::vector<std::string> &addresses,
                            TlsIdentity *out);
// Checks a PEM pair: the certificate parses, the key parses and belongs to
// it. Fills the fingerprint. False with the reason otherwise.
bool CheckIdentity(TlsIdentity *identity, std::string *why);

// The identity this unit presents: the owner's files (device paths, both
// given) or the unit's own, made and stored at the first call that finds
// none (or a pair that does not match). The first call in a process logs
// the fingerprint; later calls return the same identity. False with the
// reason when there is none to be had.
bool UnitIdentity(const std::string &ownerCert, const std::string &ownerKey, TlsIdentity *out,
                  std::string *why);

// "AB:CD:..." (as browsers show it) from 64 hex digits.
std::string FingerprintWithColons(const std::string &hex);

// A server context for the identity: TLS 1.2 and 1.3 only. nullptr with the
// reason when the identity does not load.
SSL_CTX *NewTlsServerContext(const TlsIdentity &identity, std::string *why);
// A client context: TLS 1.2 and 1.3, no certificate authority; the peer is
// trusted by its pinned fingerprint instead.
SSL_CTX *NewTlsClientContext();
// The SHA-256 fingerprint of the certificate the peer presented, "" when none.
std::string TlsPeerFingerprint(SSL *ssl);
