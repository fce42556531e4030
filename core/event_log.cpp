#include "core/event_log.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/file_writer.h"
#include "platform/log.h"

namespace {

const char *const kKinds[] = {"error", "clear", "tune",  "band",  "antenna",
                              "bank",  "operate", "login", "start", "stop"};
constexpr size_t kMaxKey = 24;
constexpr size_t kMaxText = 80;  // bytes of a text value before escaping

bool knownKind(const std::string &k) {
  for (const char *kind : kKinds)
    if (k == kind) return true;
  return false;
}

bool validKey(const std::string &k) {
  if (k.empty() || k.size() > kMaxKey) return false;
  for (char c : k)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  return true;
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// -?D+(.D+)? with at most 15 digits, as the program writes numbers.
bool validNumber(const std::string &v) {
  size_t i = v.size() > 0 && v[0] == '-' ? 1 : 0;
  size_t digits = 0, start = i;
  while (i < v.size() && isDigit(v[i])) ++i, ++digits;
  if (i == start) return false;
  if (i < v.size() && v[i] == '.') {
    size_t f = ++i;
    while (i < v.size() && isDigit(v[i])) ++i, ++digits;
    if (i == f) return false;
  }
  return i == v.size() && digits <= 15;
}

bool mustEscape(unsigned char c) {
  return c < 0x20 || c > 0x7e || c == '%' || c == '"';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Texts are kept to printable ASCII and a bounded length when recorded, so
// every reader (JSON, CSV, the page) gets them as they are.
std::string cleanText(const std::string &s) {
  std::string out;
  for (unsigned char c : s) {
    if (out.size() >= kMaxText) break;
    out += c < 0x20 || c > 0x7e ? '?' : static_cast<char>(c);
  }
  return out;
}

bool parseUtc(const std::string &t, int64_t *out) {
  // YYYY-MM-DDTHH:MM:SSZ
  static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
  if (t.size() != sizeof kShape - 1) return false;
  for (size_t i = 0; i < t.size(); ++i)
    if (kShape[i] == 'd' ? !isDigit(t[i]) : t[i] != kShape[i]) return false;
  struct tm tm = {};
  tm.tm_year = atoi(t.substr(0, 4).c_str()) - 1900;
  tm.tm_mon = atoi(t.substr(5, 2).c_str()) - 1;
  tm.tm_mday = atoi(t.substr(8, 2).c_str());
  tm.tm_hour = atoi(t.substr(11, 2).c_str());
  tm.tm_min = atoi(t.substr(14, 2).c_str());
  tm.tm_sec = atoi(t.substr(17, 2).c_str());
  const struct tm given = tm;
  time_t s = timegm(&tm);
  // timegm normalises: a 31st of April comes back as the 1st of May.
  if (tm.tm_year != given.tm_year || tm.tm_mon != given.tm_mon || tm.tm_mday != given.tm_mday ||
      tm.tm_hour != given.tm_hour || tm.tm_min != given.tm_min || tm.tm_sec != given.tm_sec)
    return false;
  *out = s;
  return true;
}

bool parseId(const std::string &s, uint64_t *out) {
  if (s.empty() || s.size() > 15 || s[0] == '0') return false;
  uint64_t v = 0;
  for (char c : s) {
    if (!isDigit(c)) return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *out = v;
  return true;
}

std::vector<std::string> splitTabs(const std::string &line) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    parts.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return parts;
}

bool parseField(const std::string &part, EventField *f, std::string *error) {
  size_t eq = part.find('=');
  if (eq == std::string::npos) return *error = "field without '='", false;
  f->key = part.substr(0, eq);
  if (!validKey(f->key)) return *error = "bad field name", false;
  const std::string v = part.substr(eq + 1);
  if (!v.empty() && v[0] == '"') {
    if (v.size() < 2 || v.back() != '"') return *error = "text not closed", false;
    f->text = true;
    f->value.clear();
    for (size_t i = 1; i + 1 < v.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(v[i]);
      if (c == '%') {
        int hi = i + 3 < v.size() ? hexValue(v[i + 1]) : -1;
        int lo = hi >= 0 ? hexValue(v[i + 2]) : -1;
        if (lo < 0) return *error = "bad escape in text", false;
        f->value += static_cast<char>(hi * 16 + lo);
        i += 2;
      } else if (mustEscape(c)) {
        return *error = "unescaped byte in text", false;
      } else {
        f->value += static_cast<char>(c);
      }
    }
    if (f->value.size() > kMaxText) return *error = "text too long", false;
    return true;
  }
  f->text = false;
  f->value = v;
  if (v != "true" && v != "false" && !validNumber(v)) return *error = "bad value", false;
  return true;
}

}  // namespace

EventField::EventField(std::string k, double v, int decimals) : key(std::move(k)) {
  char buf[48];
  // Outside what a reading can be (or not a number): written as 0.
  if (!(v > -1e9 && v < 1e9)) v = 0;
  snprintf(buf, sizeof buf, "%.*f", decimals < 0 ? 0 : decimals > 6 ? 6 : decimals, v);
  value = buf;
  // No "-0.0" for a reading just below zero.
  if (value[0] == '-' && value.find_first_not_of("-0.") == std::string::npos) value.erase(0, 1);
}

std::string UtcTimeText(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm tm;
  char buf[32] = "1970-01-01T00:00:00Z";
  if (gmtime_r(&t, &tm) != nullptr && tm.tm_year >= -1900 + 1000 && tm.tm_year <= 9999 - 1900)
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string FormatEventLine(const Event &event) {
  std::string line = std::to_string(event.id) + '\t' + UtcTimeText(event.time) + '\t' + event.kind;
  for (const EventField &f : event.fields) {
    line += '\t';
    line += f.key;
    line += '=';
    if (!f.text) {
      line += f.value;
      continue;
    }
    line += '"';
    for (unsigned char c : f.value) {
      if (mustEscape(c)) {
        char esc[4];
        snprintf(esc, sizeof esc, "%%%02X", c);
        line += esc;
      } else {
        line += static_cast<char>(c);
      }
    }
    line += '"';
  }
  line += '\n';
  return line;
}

bool ParseEventLine(const std::string &line, Event *event, std::string *error) {
  if (line.size() + 1 > kEventLineMax) return *error = "line too long", false;
  std::vector<std::string> parts = splitTabs(line);
  if (parts.size() < 3) return *error = "too few fields", false;
  Event e;
  if (!parseId(parts[0], &e.id)) return *error = "bad id", false;
  if (!parseUtc(parts[1], &e.time)) return *error = "bad time", false;
  e.kind = parts[2];
  if (!knownKind(e.kind)) return *error = "unknown kind", false;
  for (size_t i = 3; i < parts.size(); ++i) {
    EventField f("", "");
    if (!parseField(parts[i], &f, error)) return false;
    for (const EventField &g : e.fields)
      if (g.key == f.key) return *error = "field twice", false;
    e.fields.push_back(std::move(f));
  }
  *event = std::move(e);
  return true;
}

bool CheckEventLogText(const std::string &text, int *line, std::string *error) {
  const size_t headerLen = sizeof kEventLogHeader - 1;
  if (text.compare(0, headerLen, kEventLogHeader) != 0) {
    *line = 1;
    *error = "not an event log (header)";
    return false;
  }
  uint64_t lastId = 0;
  int n = 1;
  size_t pos = headerLen;
  while (pos < text.size()) {
    ++n;
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) {
      *line = n;
      *error = "last line not ended";
      return false;
    }
    Event e;
    if (!ParseEventLine(text.substr(pos, nl - pos), &e, error)) {
      *line = n;
      return false;
    }
    if (e.id <= lastId) {
      *line = n;
      *error = "id not above the one before";
      return false;
    }
    lastId = e.id;
    pos = nl + 1;
  }
  return true;
}

void AppendJsonString(std::string *out, const std::string &s) {
  *out += '"';
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      *out += '\\';
      *out += static_cast<char>(c);
    } else if (c < 0x20 || c > 0x7e) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", c);
      *out += esc;
    } else {
      *out += static_cast<char>(c);
    }
  }
  *out += '"';
}

std::string EventJson(const Event &event) {
  std::string j = "{\"id\":" + std::to_string(event.id) + ",\"time\":\"" + UtcTimeText(event.time) +
                  "\",\"kind\":\"" + event.kind + '"';
  for (const EventField &f : event.fields) {
    // The three names every event has are never taken by a field.
    if (f.key == "id" || f.key == "time" || f.key == "kind") continue;
    j += ",\"" + f.key + "\":";
    if (f.text)
      AppendJsonString(&j, f.value);
    else
      j += f.value;
  }
  j += '}';
  return j;
}

std::string EventCsvRow(const Event &event) {
  std::string detail;
  for (const EventField &f : event.fields) {
    if (!detail.empty()) detail += ' ';
    detail += f.key + '=';
    if (f.text) detail += '"' + f.value + '"';
    else detail += f.value;
  }
  std::string quoted = "\"";
  for (char c : detail) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return std::to_string(event.id) + ',' + UtcTimeText(event.time) + ',' + event.kind + ',' +
         quoted + "\r\n";
}

void EventLog::Open() {
  std::lock_guard<std::mutex> flushLock(flushMutex_);
  std::string text;
  const bool present = ReadSetFileText(path_, limits_.maxBytes * 2 + kEventLineMax, &text);
  std::string kept = kEventLogHeader;
  std::deque<Event> recent;
  uint64_t lastId = 0;
  int droppedLines = 0;
  const size_t headerLen = sizeof kEventLogHeader - 1;
  size_t pos = 0;
  if (text.compare(0, headerLen, kEventLogHeader) == 0) {
    pos = headerLen;
  } else if (!text.empty()) {
    droppedLines = 1;  // not ours: begun again
    pos = text.size();
  }
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) {
      // The line being written when the power went: it never was.
      ++droppedLines;
      break;
    }
    Event e;
    std::string error;
    if (ParseEventLine(text.substr(pos, nl - pos), &e, &error) && e.id > lastId) {
      kept.append(text, pos, nl + 1 - pos);
      lastId = e.id;
      recent.push_back(std::move(e));
      if (recent.size() > limits_.recent) recent.pop_front();
    } else {
      ++droppedLines;
    }
    pos = nl + 1;
  }
  if (droppedLines > 0) {
    LogErr("%s: %d line(s) dropped (torn by a power cut or not written by this program)",
           path_.c_str(), droppedLines);
    if (QueueSetFile(path_, kept) != 0) LogErr("%s not rewritten", path_.c_str());
  }
  fileBytes_ = present ? kept.size() : 0;
  std::lock_guard<std::mutex> lock(mutex_);
  recent_ = std::move(recent);
  lastId_ = std::max(lastId_, lastId);
}

void EventLog::Record(const std::string &kind, std::vector<EventField> fields,
                      int64_t wallSeconds) {
  for (EventField &f : fields)
    if (f.text) f.value = cleanText(f.value);
  std::lock_guard<std::mutex> lock(mutex_);
  if (pending_.size() >= limits_.maxPending) {
    ++dropped_;
    return;
  }
  Event e;
  e.id = ++lastId_;
  e.time = wallSeconds;
  e.kind = kind;
  e.fields = std::move(fields);
  recent_.push_back(e);
  if (recent_.size() > limits_.recent) recent_.pop_front();
  pending_.push_back(std::move(e));
}

void EventLog::Record(const std::string &kind, std::vector<EventField> fields) {
  Record(kind, std::move(fields), static_cast<int64_t>(time(nullptr)));
}

void EventLog::Refused(const std::string &address, const char *via, long long nowMs) {
  std::string key = std::string(via) + ' ' + address;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = refusals_.find(key);
    if (it == refusals_.end() && refusals_.size() >= limits_.refusalAddresses) {
      // Too many guessers at once: the rest share one count.
      key = std::string(via) + " *";
      it = refusals_.find(key);
    }
    if (it != refusals_.end()) {
      ++it->second.count;
      return;
    }
    refusals_[key] = Refusals{via, nowMs, 1};
  }
}

void EventLog::Flush(long long nowMs, int64_t wallSeconds, bool force) {
  std::lock_guard<std::mutex> flushLock(flushMutex_);
  std::vector<std::pair<std::string, Refusals>> due;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = refusals_.begin(); it != refusals_.end();) {
      if (force || nowMs - it->second.firstMs >= limits_.refusalWindowMs) {
        due.emplace_back(it->first, it->second);
        it = refusals_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const auto &d : due) {
    const std::string address = d.first.substr(d.first.find(' ') + 1);
    Record("login", {EventField("via", d.second.via), EventField("address", address),
                     EventField("ok", false), EventField("count", d.second.count)},
           wallSeconds);
  }
  std::vector<Event> batch;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    batch.swap(pending_);
  }
  if (batch.empty()) return;
  std::string bytes;
  for (const Event &e : batch) bytes += FormatEventLine(e);
  const size_t appended = bytes.size();
  if (QueueAppendSetFile(path_, std::move(bytes), kEventLogHeader) != 0) {
    LogErr("%s: %zu event(s) not written", path_.c_str(), batch.size());
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++batches_;
  }
  if (fileBytes_ == 0) fileBytes_ = sizeof kEventLogHeader - 1;
  fileBytes_ += appended;
  if (fileBytes_ > limits_.maxBytes) halve();
}

// The caller holds flushMutex_.
void EventLog::halve() {
  std::string text;
  // OpenSetFile waits for the appends queued so far.
  ReadSetFileText(path_, limits_.maxBytes * 2 + kEventLineMax, &text);
  const size_t headerLen = sizeof kEventLogHeader - 1;
  size_t cut = text.size() > headerLen ? headerLen + (text.size() - headerLen) / 2 : text.size();
  cut = text.find('\n', cut == 0 ? 0 : cut - 1);
  std::string kept = kEventLogHeader;
  if (cut != std::string::npos) kept.append(text, cut + 1, std::string::npos);
  if (QueueSetFile(path_, kept) != 0) {
    LogErr("%s: the oldest half not dropped", path_.c_str());
    return;
  }
  fileBytes_ = kept.size();
}

std::vector<Event> EventLog::After(uint64_t after, size_t max) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Event> out;
  size_t first = recent_.size();
  while (first > 0 && recent_[first - 1].id > after && recent_.size() - first < max) --first;
  for (size_t i = first; i < recent_.size(); ++i) out.push_back(recent_[i]);
  return out;
}

std::string EventLog::Csv() {
  std::lock_guard<std::mutex> flushLock(flushMutex_);
  std::string text;
  ReadSetFileText(path_, limits_.maxBytes * 2 + kEventLineMax, &text);
  std::string csv = kEventCsvHeader;
  size_t pos = text.find('\n');
  pos = pos == std::string::npos ? text.size() : pos + 1;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) break;
    Event e;
    std::string error;
    if (ParseEventLine(text.substr(pos, nl - pos), &e, &error)) csv += EventCsvRow(e);
    pos = nl + 1;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Event &e : pending_) csv += EventCsvRow(e);
  return csv;
}

uint64_t EventLog::lastId() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastId_;
}

unsigned long EventLog::batches() {
  std::lock_guard<std::mutex> lock(mutex_);
  return batches_;
}

unsigned long EventLog::dropped() {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

EventLog &StationEvents() {
  static EventLog log;
  return log;
}
