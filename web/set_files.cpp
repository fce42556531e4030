// The list of the files under /opt/set and the checks that are not a table
// loader's own.
#include "web/set_files.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>

#include "config/config.h"
#include "controller/temperature.h"
#include "core/event_log.h"
#include "core/setup.h"
#include "links/rigctl.h"
#include "remote/remote_file.h"
#include "tuner/tuner.h"

namespace {

constexpr size_t kKiB = 1024;
constexpr size_t kMiB = 1024 * kKiB;
// The settings files' readers take lines up to this long.
constexpr size_t kSettingsLineMax = 511;

// The settings files: the text checks, then their parsers'.
bool checkRemote(const std::string &text, int *line, std::string *error) {
  return CheckSettingsText(text, line, error) && CheckRemoteFileText(text, line, error);
}

bool checkRig(const std::string &text, int *line, std::string *error) {
  return CheckSettingsText(text, line, error) && CheckRigFileText(text, line, error);
}

bool checkSetup(const std::string &text, int *line, std::string *error) {
  return CheckSettingsText(text, line, error) && CheckSetupText(text, line, error);
}

// The fingerprint lists: "HEX ..." lines of printable text.
bool checkListText(const std::string &text, int *line, std::string *error) {
  return CheckSettingsText(text, line, error);
}

std::vector<KnownSetFile> makeList() {
  std::vector<KnownSetFile> list = {
      {"setup.txt", 64 * kKiB, checkSetup, false},
      {"remote.txt", 64 * kKiB, checkRemote, true},
      {"rig.txt", 64 * kKiB, checkRig, false},
      {"config.txt", 1 * kMiB, CheckConfigFileText, false},
      {"filter.txt", 64 * kKiB, CheckFilterFileText, false},
      {"ventola.txt", 256 * kKiB, CheckFanCurveText, false},
      {"web-cert.pem", 64 * kKiB, CheckCertificatePem, true},
      {"web-key.pem", 64 * kKiB, CheckPrivateKeyPem, true},
      {"web-devices.txt", 16 * kKiB, checkListText, true},
      {"remote-peers.txt", 16 * kKiB, checkListText, false},
      {"remote-known.txt", 64 * kKiB, checkListText, false},
      {"LOGtemp.txt", 4 * kMiB, CheckSettingsText, false, true},
      {"events.log", 5 * kMiB, CheckEventLogText, false, true},
  };
  char name[40];
  for (int bank = 0; bank < kMaxBanks; ++bank) {
    BandFileName(bank, name, sizeof name);
    list.push_back({name + sizeof kSetDir - 1, 64 * kKiB, CheckBandFileText, false});
    for (int antenna = 0; antenna < 3; ++antenna) {
      AtuFileName(bank, antenna, name, sizeof name);
      list.push_back({name + sizeof kSetDir - 1, 512 * kKiB, CheckTuneMemoryText, false});
    }
  }
  return list;
}

// An encrypted key is not one the program can use: no pass phrase is asked for.
int noPassPhrase(char *, int, int, void *) {
  return -1;
}

}  // namespace

const std::vector<KnownSetFile> &KnownSetFiles() {
  static const std::vector<KnownSetFile> list = makeList();
  return list;
}

const KnownSetFile *FindKnownSetFile(const std::string &name) {
  for (const KnownSetFile &f : KnownSetFiles())
    if (f.name == name) return &f;
  return nullptr;
}

std::string SetFilePath(const std::string &name) {
  return kSetDir + name;
}

bool CheckSettingsText(const std::string &text, int *line, std::string *error) {
  int lineNo = 1;
  size_t length = 0;
  for (char c : text) {
    if (c == '\n') {
      ++lineNo;
      length = 0;
      continue;
    }
    if (c == 0) {
      *line = lineNo;
      *error = "a NUL byte";
      return false;
    }
    if (++length > kSettingsLineMax) {
      *line = lineNo;
      *error = "a line longer than " + std::to_string(kSettingsLineMax) + " characters";
      return false;
    }
  }
  return true;
}

bool CheckCertificatePem(const std::string &text, int *line, std::string *error) {
  BIO *bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
  X509 *cert = bio == nullptr ? nullptr : PEM_read_bio_X509(bio, nullptr, noPassPhrase, nullptr);
  bool ok = cert != nullptr;
  X509_free(cert);
  BIO_free(bio);
  if (!ok) {
    *line = 0;
    *error = "no PEM certificate";
  }
  return ok;
}

bool CheckPrivateKeyPem(const std::string &text, int *line, std::string *error) {
  BIO *bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
  EVP_PKEY *key =
      bio == nullptr ? nullptr : PEM_read_bio_PrivateKey(bio, nullptr, noPassPhrase, nullptr);
  bool ok = key != nullptr;
  EVP_PKEY_free(key);
  BIO_free(bio);
  if (!ok) {
    *line = 0;
    *error = "no PEM private key";
  }
  return ok;
}
