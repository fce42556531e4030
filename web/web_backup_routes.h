#pragma once
// The routes of backup and restore:
//   GET  /api/backup    the .tar.gz of every known file under /opt/set
//   POST /api/restore   body the archive: 204, then the program starts again
//                       in place with the files; 400 with the first problem
//                       as {"file": ..., "line": ..., "error": ...}, nothing changed
#include <httplib.h>

#include <functional>
#include <string>

#include "core/works.h"
#include "web/web_backup.h"  // kMaxRestoreBody

// A restore may take this long to arrive (other requests kRequestMs).
constexpr long long kRestoreRequestMs = 120000;

bool IsRestoreRequest(const httplib::Request &req);

// admitted: the panel's session (and, for changes, origin) check; it sets
// the refusal when it says no.
using PanelAdmission =
    std::function<bool(const httplib::Request &, httplib::Response &, bool changes)>;
void AddBackupRoutes(httplib::Server &svr, Works *works, const std::string &host,
                     PanelAdmission admitted);
