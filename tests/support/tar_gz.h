#pragma once
// Backup archives as the tests make and read them, with libarchive: entries
// of any type (links, devices, folders) a hostile archive may hold.
#include <archive.h>
#include <archive_entry.h>
#include <openssl/evp.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace tartest {

// An Entry type of its own: a hard link (to /etc/shadow).
constexpr unsigned kHardLink = 1;

struct Entry {
  std::string name;
  std::string bytes;
  unsigned type = AE_IFREG;
  bool inManifest = true;
};

inline std::string Sha256(const std::string &bytes) {
  unsigned char d[32];
  unsigned n = 0;
  EVP_Digest(bytes.data(), bytes.size(), d, &n, EVP_sha256(), nullptr);
  std::string hex;
  char two[3];
  for (unsigned i = 0; i < n; ++i) {
    snprintf(two, sizeof two, "%02x", d[i]);
    hex += two;
  }
  return hex;
}

// "HEX  NAME" lines of the regular entries listed.
inline std::string Manifest(const std::vector<Entry> &entries) {
  std::string m;
  for (const Entry &e : entries)
    if (e.type == AE_IFREG && e.inManifest) m += Sha256(e.bytes) + "  " + e.name + "\n";
  return m;
}

inline la_ssize_t Append(struct archive *, void *out, const void *p, size_t n) {
  static_cast<std::string *>(out)->append(static_cast<const char *>(p), n);
  return static_cast<la_ssize_t>(n);
}

// A tar (gzip'd unless plain) of the entries, MANIFEST first: manifest, or
// without one the entries' own ("-": no MANIFEST at all).
inline std::string Pack(const std::vector<Entry> &entries, const std::string &manifest = "",
                        bool gzip = true) {
  std::string out;
  struct archive *a = archive_write_new();
  archive_write_set_format_pax_restricted(a);
  if (gzip) archive_write_add_filter_gzip(a);
  archive_write_open(a, &out, nullptr, Append, nullptr);
  std::vector<Entry> all;
  if (manifest != "-") all.push_back({"MANIFEST", manifest.empty() ? Manifest(entries) : manifest});
  all.insert(all.end(), entries.begin(), entries.end());
  for (const Entry &e : all) {
    archive_entry *ae = archive_entry_new();
    archive_entry_set_pathname(ae, e.name.c_str());
    archive_entry_set_filetype(ae, e.type == kHardLink ? AE_IFREG : e.type);
    archive_entry_set_perm(ae, 0644);
    if (e.type == kHardLink) archive_entry_set_hardlink(ae, "/etc/shadow");
    if (e.type == AE_IFLNK) archive_entry_set_symlink(ae, "/etc/shadow");
    if (e.type == AE_IFCHR || e.type == AE_IFBLK) archive_entry_set_rdev(ae, makedev(1, 3));
    archive_entry_set_size(ae, e.type == AE_IFREG ? static_cast<la_int64_t>(e.bytes.size()) : 0);
    archive_write_header(a, ae);
    if (e.type == AE_IFREG) archive_write_data(a, e.bytes.data(), e.bytes.size());
    archive_entry_free(ae);
  }
  archive_write_close(a);
  archive_write_free(a);
  return out;
}

// The entries of a .tar.gz by name.
inline std::map<std::string, std::string> Unpack(const std::string &gz) {
  std::map<std::string, std::string> files;
  struct archive *a = archive_read_new();
  archive_read_support_filter_gzip(a);
  archive_read_support_format_tar(a);
  if (archive_read_open_memory(a, gz.data(), gz.size()) == ARCHIVE_OK) {
    archive_entry *e = nullptr;
    while (archive_read_next_header(a, &e) == ARCHIVE_OK) {
      std::string bytes;
      char buf[8192];
      la_ssize_t n;
      while ((n = archive_read_data(a, buf, sizeof buf)) > 0)
        bytes.append(buf, static_cast<size_t>(n));
      files[archive_entry_pathname(e)] = bytes;
    }
  }
  archive_read_free(a);
  return files;
}

}  // namespace tartest
