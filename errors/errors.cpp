// Placeholder error list until the protection work fills it in: a plain list
// without descriptors or recovery.
#include "errors/errors.h"

void InitErrorTable(Works *) {}

int AddErrore(Works *works, int code) {
  if (code < 0 || code >= kErrorCodes) return -1;
  std::lock_guard<std::mutex> lock(works->errorMutex);
  int n = works->errorCount;
  for (int i = 0; i < n; ++i)
    if (works->errorList[i] == code) return 0;
  if (n >= kErrorCodes) return -1;
  works->errorList[n] = code;
  works->errorCount = n + 1;
  return 1;
}

int DeleteErrore(Works *works, int code) {
  std::lock_guard<std::mutex> lock(works->errorMutex);
  int n = works->errorCount;
  for (int i = 0; i < n; ++i) {
    if (works->errorList[i] != code) continue;
    for (int j = i; j + 1 < n; ++j) works->errorList[j] = works->errorList[j + 1].load();
    works->errorList[n - 1] = 0;
    works->errorCount = n - 1;
    return 1;
  }
  return 0;
}

int ExistError(Works *works, int code) {
  std::lock_guard<std::mutex> lock(works->errorMutex);
  for (int i = 0; i < works->errorCount; ++i)
    if (works->errorList[i] == code) return 1;
  return 0;
}

int ExistAnError(Works *works) { return works->errorCount > 0 ? 1 : 0; }

void GestErroreSerial(Works *) {}
