#pragma once
// The command identifiers queued for the controller link, taken out of the
// ring oldest first, as the link takes them.
#include <vector>

#include "core/command_queue.h"
#include "core/works.h"

inline std::vector<int> DrainCommandQueue(Works *w) {
  std::vector<int> ids;
  for (int id; (id = TakeCmdLinear(w)) >= 0;) ids.push_back(id);
  return ids;
}
