// Backup and restore over the web panel.
#include "web/web_backup_routes.h"

#include <atomic>
#include <ctime>

#include "platform/log.h"
#include "web/set_restore.h"
#include "web/web_backup.h"

namespace {

std::atomic<bool> gRestoring{false};

}  // namespace

bool IsRestoreRequest(const httplib::Request &req) {
  return req.method == "POST" && req.path == "/api/restore";
}

void AddBackupRoutes(httplib::Server &svr, Works *works, const std::string &host,
                     PanelAdmission admitted) {
  svr.Get("/api/backup",
          [works, &host, admitted](const httplib::Request &req, httplib::Response &res) {
            if (!admitted(req, res, false)) return;
            char version[32] = "";
            works->version.get(version, sizeof version);
            time_t now = time(nullptr);
            std::string archive;
            if (!MakeBackupArchive(CollectSetFiles(), version, host, now, &archive)) {
              LogErr("Backup: the archive could not be made");
              res.status = 500;
              return;
            }
            res.set_header("Content-Disposition",
                           "attachment; filename=\"" + BackupFileName(host, now) + "\"");
            res.set_content(std::move(archive), "application/gzip");
          });

  svr.Post("/api/restore", [works, admitted](const httplib::Request &req, httplib::Response &res) {
    if (!admitted(req, res, true)) return;
    std::vector<SetFileBytes> files;
    RestoreProblem problem;
    if (!ReadRestoreArchive(req.body, &files, &problem)) {
      LogInfo("Restore refused: %s%s%s", problem.file.c_str(), problem.file.empty() ? "" : ": ",
              problem.error.c_str());
      res.status = 400;
      res.set_content(RestoreProblemJson(problem), "application/json");
      return;
    }
    bool idle = false;
    if (!gRestoring.compare_exchange_strong(idle, true)) {
      res.status = 503;  // one restore at a time; the program is starting again
      return;
    }
    std::string why;
    if (!ReplaceSetFiles(files, &why)) {
      LogErr("Restore failed: %s", why.c_str());
      gRestoring = false;
      res.status = 500;
      return;
    }
    LogInfo("Restore: %zu files replaced; the program starts again", files.size());
    res.set_header("Connection", "close");
    res.status = 204;
    // Every thread ends as at SIGTERM; main then starts the program again.
    RequestRestart();
    works->running.store(0);
  });
}
