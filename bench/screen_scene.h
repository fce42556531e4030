#pragma once
// A drawn screen of the program for benchmarks: the works record, fonts and
// background image the refresh loop would use, the main screen (meter views
// 1-3) or the spectrum view (4, 5) with plausible readings, two listed errors.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "core/process_globals.h"
#include "display/display.h"
#include "links/nebparam.h"
#include "support/screen_fonts.h"
#include "ui/plot.h"
#include "ui/ui.h"

struct BenchScene {
  std::unique_ptr<Works> works = std::make_unique<Works>();
  std::unique_ptr<SpectrumPlot> spectrum = std::make_unique<SpectrumPlot>();
  std::mutex serMut;
  NebParam param = {};
  FrameBuffer *fb = fbCreateMemory(800, 480, 4);

  explicit BenchScene(int meterView) {
    Works &w = *works;
    LoadScreenFonts();
    w.fb = fb;
    w.serMut = &serMut;
    w.spectrumPlot = spectrum.get();
    w.numBanco = 1;
    w.maxBank = 3;
    w.modeWorkIdx = 1;
    InitMenuLumo(&w);
    TimerDrawStart(&w);
    w.reloadBackground = 0;
    w.cpuTempMissing = 1;  // no process start inside the measurement
    w.viewTimeStr = 1;
    w.lanStatusText.set("192.168.1.20");
    w.dateTimeText.set("2024-05-01 12:00:00");
    w.enablePwrPeak = 1;
    w.powerClass = '0';
    w.pwFwd = 45.3f;
    w.pwFwdPeak = 47.0f;
    w.pwRefl = 1.2f;
    w.swr = 1.35f;
    w.temp1 = 38.5f;
    w.temp2 = 41.0f;
    w.cpuTemp = 52.1f;
    w.iAdc = 2100;
    w.frequency = 14070000;
    w.stErr[1] = 1;
    w.meterView = meterView;
    static const char *const names[] = {"160m", "80m", "40m", "30m", "20m",
                                        "17m",  "15m", "12m", "10m", "6m"};
    for (int r = 0; r < 10; ++r) {
      TabAntennaRow &row = w.tabAntenna[r];
      memset(&row, 0, sizeof row);
      snprintf(row.name, sizeof row.name, "%s", names[r]);
      row.fmin = 1800000 + r * 3000000;
      row.fmax = row.fmin + 2000000;
    }
    w.numBands = 10;
    for (int code = 0; code < kErrorCodes; ++code) {
      snprintf(w.errorTable[code].line1, sizeof w.errorTable[code].line1, "Auto Tune");
      snprintf(w.errorTable[code].line2, sizeof w.errorTable[code].line2, "timeout");
      w.errorTable[code].flags = 4;
    }
    w.errorList[0] = 12;
    w.errorList[1] = 1;
    w.errorCount = 2;
    for (int i = 0; i < kSpectrumLevels; ++i)
      spectrum->levels[i] = -150.0f + 25.0f * std::sin(i * 0.05f) + (i % 7) * 2.0f;
    if (meterView >= 4) {
      divX = meterView == 4 ? 16 : 8;
      xRangeEnd = meterView == 4 ? 854 : 427;
      w.plotSpan = meterView == 4 ? 160000 : 80000;
    }
    // The backgrounds the program would show, when the build has drawn them.
    if (chdir(OMBRIX_IMAGES_DIR) == 0) {
      w.imageName.set(meterView >= 4 ? "m5a" : "img1");
      getPng(&w, 1);
    }
  }
  ~BenchScene() {
    InitGrid();
    fbRelease(fb);
  }
  void pass() {
    TimerDrawBackground(works.get());
    TimerDrawScreen(works.get(), &param);
    TimerPresent(works.get());
  }
};
