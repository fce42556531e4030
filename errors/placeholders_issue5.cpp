// Placeholder until the error list lands (key 6 is labelled from it).
#include "errors/errors.h"

int VerifyError(Works *works) {
  std::lock_guard<std::mutex> lock(works->errorMutex);
  for (int i = 0; i < works->errorCount && i < kErrorCodes; ++i) {
    int code = works->errorList[i];
    if (code != ERR_TEMP1_ALARM && code != ERR_TEMP2_ALARM && code != ERR_TEMP1_WARN &&
        code != ERR_TEMP2_WARN)
      return 1;
  }
  return 0;
}
