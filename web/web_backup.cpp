// Backup archives in memory with libarchive, written and read.
#include "web/web_backup.h"

#include <archive.h>
#include <archive_entry.h>
#include <openssl/evp.h>

#include <cstdio>
#include <map>
#include <memory>

#include "core/file_writer.h"
#include "platform/log.h"
#include "web/set_files.h"

namespace {

std::string sha256Hex(const std::string &bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &n, EVP_sha256(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < n; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

std::string utcText(time_t now, const char *format) {
  struct tm tm = {};
  gmtime_r(&now, &tm);
  char text[64];
  strftime(text, sizeof text, format, &tm);
  return text;
}

la_ssize_t appendToString(struct archive *, void *out, const void *buffer, size_t length) {
  static_cast<std::string *>(out)->append(static_cast<const char *>(buffer), length);
  return static_cast<la_ssize_t>(length);
}

struct ArchiveWriteFree {
  void operator()(struct archive *a) const { archive_write_free(a); }
};
struct ArchiveReadFree {
  void operator()(struct archive *a) const { archive_read_free(a); }
};
struct EntryFree {
  void operator()(archive_entry *e) const { archive_entry_free(e); }
};

bool addEntry(struct archive *a, const std::string &name, const std::string &bytes, time_t now,
              bool secret) {
  std::unique_ptr<archive_entry, EntryFree> e(archive_entry_new());
  archive_entry_set_pathname(e.get(), name.c_str());
  archive_entry_set_size(e.get(), static_cast<la_int64_t>(bytes.size()));
  archive_entry_set_filetype(e.get(), AE_IFREG);
  archive_entry_set_perm(e.get(), secret ? 0600 : 0644);
  archive_entry_set_mtime(e.get(), now, 0);
  if (archive_write_header(a, e.get()) != ARCHIVE_OK) return false;
  return bytes.empty() ||
         archive_write_data(a, bytes.data(), bytes.size()) == static_cast<la_ssize_t>(bytes.size());
}

// A manifest line "HEX  NAME"; false when it is not one.
bool manifestLine(const std::string &line, std::string *hex, std::string *name) {
  if (line.size() < 67 || line[64] != ' ' || (line[65] != ' ' && line[65] != '*')) return false;
  *hex = line.substr(0, 64);
  for (char &c : *hex) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  *name = line.substr(66);
  return true;
}

}  // namespace

std::vector<SetFileBytes> CollectSetFiles() {
  // What is queued is written first, so no file is taken half written and
  // the bytes are those the card holds.
  DrainFileWriter();
  std::vector<SetFileBytes> files;
  for (const KnownSetFile &f : KnownSetFiles()) {
    SetFileBytes file{f.name, {}};
    if (!ReadSetFileText(SetFilePath(f.name), f.maxBytes + 1, &file.bytes)) continue;
    if (file.bytes.size() > f.maxBytes) {
      LogErr("Backup: %s holds more than %zu bytes, left out", f.name.c_str(), f.maxBytes);
      continue;
    }
    if (f.appended) file.bytes.erase(file.bytes.find_last_of('\n') + 1);
    files.push_back(std::move(file));
  }
  return files;
}

std::string BackupFileName(const std::string &host, time_t now) {
  std::string safe;
  for (char c : host)
    safe += (isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.') ? c : '_';
  if (safe.empty()) safe = "unit";
  return "ombrix-" + safe + utcText(now, "-%Y%m%d-%H%M") + ".tar.gz";
}

bool MakeBackupArchive(const std::vector<SetFileBytes> &files, const std::string &version,
                       const std::string &host, time_t now, std::string *out) {
  out->clear();
  std::unique_ptr<struct archive, ArchiveWriteFree> a(archive_write_new());
  if (!a || archive_write_set_format_ustar(a.get()) != ARCHIVE_OK ||
      archive_write_add_filter_gzip(a.get()) != ARCHIVE_OK ||
      archive_write_set_bytes_in_last_block(a.get(), 1) != ARCHIVE_OK ||
      archive_write_open(a.get(), out, nullptr, appendToString, nullptr) != ARCHIVE_OK)
    return false;
  std::string manifest;
  for (const SetFileBytes &f : files) {
    const KnownSetFile *known = FindKnownSetFile(f.name);
    if (!addEntry(a.get(), f.name, f.bytes, now, known != nullptr && known->secret)) return false;
    manifest += sha256Hex(f.bytes) + "  " + f.name + "\n";
  }
  std::string info = "version " + version + "\ndate " + utcText(now, "%Y-%m-%dT%H:%M:%SZ") +
                     "\nhost " + host + "\n";
  if (!addEntry(a.get(), kManifestName, manifest, now, false) ||
      !addEntry(a.get(), kBackupInfoName, info, now, false))
    return false;
  return archive_write_close(a.get()) == ARCHIVE_OK;
}

std::string RestoreProblemJson(const RestoreProblem &p) {
  auto quoted = [](const std::string &s) {
    std::string q = "\"";
    for (unsigned char c : s) {
      if (c == '"' || c == '\\') {
        q += '\\';
        q += static_cast<char>(c);
      } else if (c < 0x20 || c >= 0x7F) {
        char esc[8];
        snprintf(esc, sizeof esc, "\\u%04x", c);  // bytes as they are, never broken UTF-8
        q += esc;
      } else {
        q += static_cast<char>(c);
      }
    }
    return q + "\"";
  };
  return "{\"file\": " + (p.file.empty() ? std::string("null") : quoted(p.file)) +
         ", \"line\": " + (p.line > 0 ? std::to_string(p.line) : std::string("null")) +
         ", \"error\": " + quoted(p.error) + "}";
}

bool ReadRestoreArchive(const std::string &archive, std::vector<SetFileBytes> *files,
                        RestoreProblem *problem) {
  files->clear();
  auto fail = [problem](const std::string &file, int line, const std::string &error) {
    *problem = RestoreProblem{file, line, error};
    return false;
  };
  if (archive.size() > kMaxRestoreBody) return fail("", 0, "the archive is larger than 16 MiB");
  std::unique_ptr<struct archive, ArchiveReadFree> a(archive_read_new());
  if (!a || archive_read_support_filter_gzip(a.get()) != ARCHIVE_OK ||
      archive_read_support_format_tar(a.get()) != ARCHIVE_OK ||
      archive_read_open_memory(a.get(), archive.data(), archive.size()) != ARCHIVE_OK)
    return fail("", 0, "not a .tar.gz archive");
  if (archive_filter_code(a.get(), 0) != ARCHIVE_FILTER_GZIP)
    return fail("", 0, "not a .tar.gz archive");

  std::map<std::string, std::string> entries;
  size_t total = 0;
  const size_t maxEntries = KnownSetFiles().size() + 2;
  for (;;) {
    archive_entry *e = nullptr;
    int r = archive_read_next_header(a.get(), &e);
    if (r == ARCHIVE_EOF) break;
    if (r != ARCHIVE_OK) return fail("", 0, "a damaged archive");
    const char *path = archive_entry_pathname(e);
    std::string name = path == nullptr ? "" : path;
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
      return fail(name, 0, "not a flat file name");
    if (archive_entry_filetype(e) != AE_IFREG || archive_entry_hardlink(e) != nullptr ||
        archive_entry_symlink(e) != nullptr)
      return fail(name, 0, "not a regular file");
    const KnownSetFile *known = FindKnownSetFile(name);
    size_t limit = known != nullptr ? known->maxBytes : 64 * 1024;
    if (known == nullptr && name != kManifestName && name != kBackupInfoName)
      return fail(name, 0, "not a file of this program");
    if (entries.count(name) != 0) return fail(name, 0, "in the archive twice");
    if (entries.size() >= maxEntries) return fail(name, 0, "too many entries");
    if (!archive_entry_size_is_set(e) || archive_entry_size(e) < 0 ||
        static_cast<uint64_t>(archive_entry_size(e)) > limit)
      return fail(name, 0, "larger than " + std::to_string(limit) + " bytes");
    // The sizes are counted as the bytes come, however the header put it.
    std::string bytes;
    char buf[16384];
    for (;;) {
      la_ssize_t n = archive_read_data(a.get(), buf, sizeof buf);
      if (n == 0) break;
      if (n < 0) return fail(name, 0, "a damaged archive");
      total += static_cast<size_t>(n);
      if (bytes.size() + static_cast<size_t>(n) > limit)
        return fail(name, 0, "larger than " + std::to_string(limit) + " bytes");
      if (total > kMaxRestoreUnpacked) return fail(name, 0, "the archive unpacks to over 64 MiB");
      bytes.append(buf, static_cast<size_t>(n));
    }
    entries.emplace(name, std::move(bytes));
  }

  auto manifest = entries.find(kManifestName);
  if (manifest == entries.end()) return fail(kManifestName, 0, "missing");
  std::map<std::string, std::string> sums;
  int lineNo = 0;
  size_t start = 0;
  const std::string &m = manifest->second;
  while (start < m.size()) {
    size_t end = m.find('\n', start);
    if (end == std::string::npos) end = m.size();
    std::string line = m.substr(start, end - start);
    start = end + 1;
    ++lineNo;
    std::string hex, name;
    if (!manifestLine(line, &hex, &name)) return fail(kManifestName, lineNo, "not \"HEX  NAME\"");
    if (name == kManifestName || name == kBackupInfoName) continue;
    if (FindKnownSetFile(name) == nullptr)
      return fail(kManifestName, lineNo, "names a file not of this program");
    if (!sums.emplace(name, hex).second) return fail(kManifestName, lineNo, "names a file twice");
    auto it = entries.find(name);
    if (it == entries.end()) return fail(name, 0, "listed in MANIFEST, not in the archive");
    if (sha256Hex(it->second) != hex) return fail(name, 0, "checksum does not match MANIFEST");
  }
  for (auto &[name, bytes] : entries) {
    if (name == kManifestName || name == kBackupInfoName) continue;
    if (sums.count(name) == 0) return fail(name, 0, "not listed in MANIFEST");
    int line = 0;
    std::string error;
    if (!FindKnownSetFile(name)->check(bytes, &line, &error)) return fail(name, line, error);
  }
  // In the known list's order, so a restore writes them in a fixed order.
  for (const KnownSetFile &f : KnownSetFiles()) {
    auto it = entries.find(f.name);
    if (it != entries.end()) files->push_back({f.name, std::move(it->second)});
  }
  return true;
}
