#pragma once
// A Works record in a temporary root, with the setup record attached, for the
// band, threshold, filter and tuner tests; and the commands it queued.
#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "core/setup.h"
#include "core/works.h"
#include "support/command_queue.h"
#include "support/temp_root.h"

struct TableFixture {
  TempRoot root;
  std::unique_ptr<Works> works = std::make_unique<Works>();
  std::unique_ptr<Lumosetup> setup = std::make_unique<Lumosetup>();
  TableFixture() {
    works->setup = setup.get();
    initSetup(works.get());
    works->running = 1;
    works->cpPending = 0;  // the controller has acknowledged: errors are listed
  }
  ~TableFixture() { FreeConfigTable(works.get()); }
  Works *w() { return works.get(); }

  // Takes every queued command identifier out of the ring, oldest first.
  std::vector<int> drain() { return DrainCommandQueue(works.get()); }
};
