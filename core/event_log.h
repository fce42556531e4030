#pragma once
// The station's event log: what happened and when (faults listed and
// cleared, tunes, band, antenna and bank changes, operate and standby,
// logins, start and stop), kept in /opt/set/events.log for the owner.
//
// Recording never waits for the card: an event goes into a small pending
// list under a lock, and Flush (once a second, from the recorder's thread)
// hands the whole batch to the file writer as one append. A power cut thus
// loses at most the last second, and the file itself never: a torn last
// line is dropped when the log is opened at start. Past its bound the
// oldest half of the file is dropped in one rewrite.
//
// The file: a header line, then one event per line, fields separated by
// tabs: id, UTC time, kind, then key=value pairs. A value is a number,
// true/false, or a text in double quotes with every control byte, '%', '"'
// and byte above 0x7e written as %XX.
//   # ombrix events 1
//   17	2026-12-08T16:00:00Z	error	code=15	line1="Error"	line2="FAULT"
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

constexpr char kEventLogFile[] = "/opt/set/events.log";
constexpr char kEventLogHeader[] = "# ombrix events 1\n";
constexpr size_t kEventLogMaxBytes = 4u << 20;
constexpr size_t kEventLineMax = 1024;  // one event's line, newline included

struct EventField {
  std::string key;
  std::string value;  // as written: a number, true/false, or the text itself
  bool text = false;

  EventField(std::string k, const char *v) : key(std::move(k)), value(v ? v : ""), text(true) {}
  EventField(std::string k, const std::string &v) : key(std::move(k)), value(v), text(true) {}
  EventField(std::string k, bool v) : key(std::move(k)), value(v ? "true" : "false") {}
  EventField(std::string k, int v) : key(std::move(k)), value(std::to_string(v)) {}
  EventField(std::string k, long long v) : key(std::move(k)), value(std::to_string(v)) {}
  // A measured value with the given decimals.
  EventField(std::string k, double v, int decimals);
};

struct Event {
  uint64_t id = 0;
  int64_t time = 0;  // UTC seconds
  std::string kind;
  std::vector<EventField> fields;
};

// "2026-12-08T16:00:00Z".
std::string UtcTimeText(int64_t seconds);
// The event's line in the file, newline included.
std::string FormatEventLine(const Event &event);
// One line of the file without its newline. False with a short error when
// it is not a line this program writes.
bool ParseEventLine(const std::string &line, Event *event, std::string *error);
// True when text is a whole log as this program writes it (header, lines
// with rising ids, the last one ended); else the first bad line (1-based)
// and a short error.
bool CheckEventLogText(const std::string &text, int *line, std::string *error);
// {"id": 17, "time": "...", "kind": "error", "code": 15, ...}
std::string EventJson(const Event &event);
// id,time,kind,detail (detail quoted, its fields as key=value).
std::string EventCsvRow(const Event &event);
constexpr char kEventCsvHeader[] = "id,time,kind,detail\r\n";
// Appends s to out as a JSON string (control bytes escaped).
void AppendJsonString(std::string *out, const std::string &s);

class EventLog {
 public:
  struct Limits {
    size_t maxBytes = kEventLogMaxBytes;
    size_t maxPending = 2000;  // events waiting for the next flush
    size_t recent = 500;       // events kept in memory for the panel
    size_t refusalAddresses = 64;
    long long refusalWindowMs = 60000;
  };
  explicit EventLog(std::string path = kEventLogFile) : EventLog(std::move(path), Limits()) {}
  EventLog(std::string path, Limits limits) : path_(std::move(path)), limits_(limits) {}

  // Reads the file at start: the last id, the recent events, and a torn
  // last line (or anything else the program would not have written)
  // dropped by rewriting the file without it.
  void Open();
  // Records an event at the wall-clock time given (UTC seconds).
  void Record(const std::string &kind, std::vector<EventField> fields, int64_t wallSeconds);
  void Record(const std::string &kind, std::vector<EventField> fields);
  // A refused login from an address over a way in ("web", "link"): counted,
  // and written as one event per address and window with the count.
  void Refused(const std::string &address, const char *via, long long nowMs);
  // Writes the refusal counts whose window ended (all with force), then
  // hands the pending events to the file writer as one append; halves the
  // file when it passed its bound. One caller at a time.
  void Flush(long long nowMs, int64_t wallSeconds, bool force = false);

  // Events with an id above after, oldest first; at most max, the newest.
  std::vector<Event> After(uint64_t after, size_t max);
  // The whole log as CSV, the events not yet flushed included.
  std::string Csv();

  uint64_t lastId();
  unsigned long batches();  // appends handed to the writer
  unsigned long dropped();  // events lost to a full pending list

 private:
  struct Refusals {
    std::string via;
    long long firstMs;
    int count;
  };
  void halve();

  const std::string path_;
  const Limits limits_;
  std::mutex mutex_;  // pending_, recent_, refusals_, the counters
  std::vector<Event> pending_;
  std::deque<Event> recent_;
  std::map<std::string, Refusals> refusals_;  // by way in and address
  uint64_t lastId_ = 0;
  unsigned long batches_ = 0;
  unsigned long dropped_ = 0;
  std::mutex flushMutex_;  // one flush (or CSV copy) at a time; fileBytes_
  size_t fileBytes_ = 0;
};

// The program's log.
EventLog &StationEvents();
