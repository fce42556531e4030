// Placeholder for the front-panel work until the protection work lands: a
// pending acknowledgement takes the press and clears the list.
#include "errors/errors.h"

int GPIO_Errori(Works *works) {
  if (works->errorFlags == 0) return 0;
  std::lock_guard<std::mutex> lock(works->errorMutex);
  works->errorFlags = 0;
  for (auto &code : works->errorList) code = 0;
  works->errorCount = 0;
  return 1;
}
