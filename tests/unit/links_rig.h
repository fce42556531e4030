#pragma once
// A Works with the pieces the transceiver links touch: setup record,
// parameter record and its mutex, spectrum plot.
#include <memory>
#include <mutex>

#include "core/setup.h"
#include "core/works.h"
#include "links/links.h"
#include "ui/plot.h"

struct LinksRig {
  std::unique_ptr<Works> works = std::make_unique<Works>();
  std::unique_ptr<Lumosetup> setup = std::make_unique<Lumosetup>();
  std::unique_ptr<NebParam> param = std::make_unique<NebParam>();
  std::unique_ptr<SpectrumPlot> plot = std::make_unique<SpectrumPlot>();
  std::mutex serMut;
  LinksRig() {
    works->setup = setup.get();
    works->nebParam = param.get();
    works->serMut = &serMut;
    works->spectrumPlot = plot.get();
    works->running = 1;
    ResetParameterRecordStart();
  }
  Works *w() { return works.get(); }
};
