#include "web/web_events.h"

#include "core/trends.h"

bool ParseQueryCount(const std::string &text, uint64_t max, uint64_t *out) {
  // 19 digits always fit in 64 bits.
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  uint64_t v = std::stoull(text);
  if (v > max) return false;
  *out = v;
  return true;
}

std::string EventsJson(const std::vector<Event> &events) {
  std::string j = "[";
  for (size_t i = 0; i < events.size(); ++i) {
    if (i > 0) j += ',';
    j += EventJson(events[i]);
  }
  j += ']';
  return j;
}

void AddEventRoutes(httplib::Server &svr, AdmitReader admitted) {
  svr.Get("/api/events", [admitted](const httplib::Request &req, httplib::Response &res) {
    if (!admitted(req, res)) return;
    uint64_t after = 0;
    if (req.has_param("after") &&
        !ParseQueryCount(req.get_param_value("after"), 999999999999999ULL, &after)) {
      res.status = 400;
      return;
    }
    res.set_content(EventsJson(StationEvents().After(after, kMaxEventsAnswer)),
                    "application/json");
  });
  svr.Get("/api/events.csv", [admitted](const httplib::Request &req, httplib::Response &res) {
    if (!admitted(req, res)) return;
    res.set_header("Content-Disposition", "attachment; filename=\"ombrix-events.csv\"");
    res.set_content(StationEvents().Csv(), "text/csv; charset=utf-8");
  });
  svr.Get("/api/history", [admitted](const httplib::Request &req, httplib::Response &res) {
    if (!admitted(req, res)) return;
    uint64_t seconds = kDefaultHistorySeconds;
    if (req.has_param("seconds") &&
        (!ParseQueryCount(req.get_param_value("seconds"), kMaxHistorySeconds, &seconds) ||
         seconds == 0)) {
      res.status = 400;
      return;
    }
    res.set_content(StationTrends().Json(static_cast<long long>(seconds)), "application/json");
  });
}
