// The unit's own certificate: what a browser and an operator unit check.
#include "security/tls_identity.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "remote/remote_file.h"

TEST(TlsIdentity, SelfSignedCertificateNamesTheUnitAndItsFingerprintIsItsDigest) {
  TlsIdentity id;
  ASSERT_TRUE(MakeSelfSignedIdentity("amp-shack", {"192.168.1.40", "fd00::7"}, &id));
  ASSERT_EQ(id.fingerprint.size(), 64u);
  EXPECT_EQ(NormalFingerprint(FingerprintWithColons(id.fingerprint)), id.fingerprint);

  BIO *bio = BIO_new_mem_buf(id.certPem.data(), static_cast<int>(id.certPem.size()));
  X509 *cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  ASSERT_NE(cert, nullptr);
  EXPECT_EQ(X509_check_host(cert, "amp-shack", 0, 0, nullptr), 1);
  EXPECT_EQ(X509_check_host(cert, "localhost", 0, 0, nullptr), 1);
  EXPECT_EQ(X509_check_ip_asc(cert, "127.0.0.1", 0), 1);
  EXPECT_EQ(X509_check_ip_asc(cert, "192.168.1.40", 0), 1);
  EXPECT_EQ(X509_check_ip_asc(cert, "fd00::7", 0), 1);
  EXPECT_NE(X509_check_host(cert, "elsewhere.example", 0, 0, nullptr), 1);
  EXPECT_EQ(EVP_PKEY_get_id(X509_get0_pubkey(cert)), EVP_PKEY_EC);
  // Ten years, give or take the day it starts early.
  int days = 0, seconds = 0;
  ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(cert), X509_get0_notAfter(cert)),
            1);
  EXPECT_GE(days, 3652);
  EXPECT_LE(days, 3654);
  X509_free(cert);

  // The pair reads back with the same fingerprint; a key of another pair does not fit.
  TlsIdentity back{id.certPem, id.keyPem, ""};
  std::string why;
  ASSERT_TRUE(CheckIdentity(&back, &why)) << why;
  EXPECT_EQ(back.fingerprint, id.fingerprint);
  TlsIdentity other;
  ASSERT_TRUE(MakeSelfSignedIdentity("amp-shack", {}, &other));
  EXPECT_NE(other.fingerprint, id.fingerprint);
  TlsIdentity mixed{id.certPem, other.keyPem, ""};
  EXPECT_FALSE(CheckIdentity(&mixed, &why));
  TlsIdentity garbage{"-----BEGIN CERTIFICATE-----\nAAAA\n", id.keyPem, ""};
  EXPECT_FALSE(CheckIdentity(&garbage, &why));
}

TEST(RemoteFile, SecuritySettingsAreReadAndBadOnesKeepTheirDefaults) {
  RemoteFileSettings s = ParseRemoteFile(
      "WebTls: 0\nRemoteTls: 1\nWebHost: Amp.Example.org, shack\n"
      "StationFingerprint: " +
      FingerprintWithColons(std::string(64, 'A')) +
      "\nWebCert: /opt/set/c.pem\nWebKey: /opt/set/k.pem\n");
  EXPECT_FALSE(s.webTls);
  EXPECT_TRUE(s.remoteTls);
  EXPECT_EQ(s.webHosts, (std::vector<std::string>{"amp.example.org", "shack"}));
  EXPECT_EQ(s.stationFingerprint, std::string(64, 'a'));
  EXPECT_EQ(s.webCert, "/opt/set/c.pem");
  EXPECT_EQ(s.webKey, "/opt/set/k.pem");

  RemoteFileSettings bad = ParseRemoteFile(
      "WebTls: yes\nRemoteTls: 2\nWebHost: a b,c\nStationFingerprint: " + std::string(63, 'a') +
      "\nWebCert: relative.pem\n");
  EXPECT_TRUE(bad.webTls);
  EXPECT_FALSE(bad.remoteTls);
  EXPECT_TRUE(bad.webHosts.empty());
  EXPECT_TRUE(bad.stationFingerprint.empty());
  EXPECT_TRUE(bad.webCert.empty());
  EXPECT_TRUE(ParseRemoteFile("WebCert: /opt/set/c.pem\n").webCert.empty())
      << "a certificate without its key is not used";
}
