#pragma once
// The panel's record of the station: the event log (GET /api/events?after=N,
// GET /api/events.csv) and the trends (GET /api/history?seconds=N).
#include <httplib.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/event_log.h"

constexpr size_t kMaxEventsAnswer = 500;
constexpr long long kDefaultHistorySeconds = 3600;
constexpr long long kMaxHistorySeconds = 24LL * 3600;

// A count from a query: digits only, at most max. False otherwise.
bool ParseQueryCount(const std::string &text, uint64_t max, uint64_t *out);
// The events as a JSON array.
std::string EventsJson(const std::vector<Event> &events);

// Adds the routes; admitted says whether a request may have its answer
// (and sets the refusal when not).
using AdmitReader = std::function<bool(const httplib::Request &, httplib::Response &)>;
void AddEventRoutes(httplib::Server &svr, AdmitReader admitted);

// The panel's page with the event list and the trend plots added.
std::string PageWithRecord(const char *page);
