// The drawing of the refresh loop: background, screen saver, clock line,
// the two analogue meters with their peak needles, the spectrum views, and
// the readings shown on them (CPU temperature, date and time).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "core/link_requests.h"
#include "core/process_globals.h"
#include "display/display.h"
#include "platform/platform.h"
#include "ui/menu.h"
#include "ui/plot.h"
#include "ui/ui.h"

const float CONV_SWR[24] = {1.0f, 0,  1.5f, 11, 2.0f, 20, 3.0f, 30, 4.0f,  36, 5.0f,   40,
                            6.0f, 43, 7.0f, 45, 8.0f, 47, 9.0f, 48, 10.0f, 50, 100.0f, 60};

namespace {

constexpr int kLeftPivotX = 210, kRightPivotX = 590, kPivotY = 260;
constexpr double kNeedleLength = 200, kNeedleSide = 15;

float limited(float v, float low, float high) {
  if (!(v >= low)) return low;  // NaN reads as the bottom of the scale
  return v > high ? high : v;
}

void drawNeedle(FrameBuffer *fb, int cx, float angle, int r, int g, int b) {
  int ex, ey;
  NeedleEnd(cx, kPivotY, angle, &ex, &ey);
  for (int k = -1; k <= 1; ++k) DrawLine(cx + k, kPivotY, ex, ey, r, g, b, fb, FB_BACK);
}

// Peak handling shared by both meters: the first sample after a reset of the
// peak needle becomes the peak, later ones go through the tracking rule.
void drawMeter(Works *works, int cx, float value, float peakSample, float peakLimit, int steps,
               At<float> &needle, At<float> &needlePeak, At<float> &peak,
               void (*track)(Works *, float)) {
  FrameBuffer *fb = works->fb;
  needle = NeedleAngle(value, steps);
  const bool peaks = works->enablePwrPeak == 1;
  if (peaks) {
    if (needlePeak == 0)
      peak = peakSample;
    else
      track(works, peakSample);
  }
  drawNeedle(fb, cx, needle, 255, 0, 0);
  if (peaks) {
    // The held value may lie beyond the scale: its needle stops at full scale.
    needlePeak = NeedleAngle(limited(peak, 0, peakLimit), steps);
    drawNeedle(fb, cx, needlePeak, 0, 0, 0);
  }
}

void drawMeters(Works *works) {
  LinkView v;
  ReadLinkView(works, &v);
  FrameBuffer *fb = works->fb;
  char text[32];
  // The model's limit, and never beyond the scale in force (the two change
  // together when the controller reports its model).
  const float fwdLimit =
      std::min(v.powerClass == '1' ? 120.0f : 60.0f, static_cast<float>(number_ofStep_meter_FWD));
  const float fwd = v.pwFwd;
  drawMeter(works, kLeftPivotX, limited(fwd, 0, fwdLimit), v.pwFwdPeak, fwdLimit,
            number_ofStep_meter_FWD, works->needleFwd, works->needlePeakFwd, works->peakFwd,
            CalcolaPwrPeak);

  switch (works->meterView) {
    case 1: {
      const float refl = v.pwRefl;
      const float v = limited(refl, 0, 60);
      drawMeter(works, kRightPivotX, v, v, 60, number_ofStep_meter_REFL, works->needleRight,
                works->needlePeakRight, works->peakRight, CalcolaPwrPeak2);
      putString(8, 535, 160, "REFLECTED", 0, 0, 0, fb);
      FormatPower(works, refl, text, sizeof text);
      putString(8, 565, 180, text, 0, 0, 0, fb);
      break;
    }
    case 2: {
      const float swr = limited(v.swr, 0, 100);
      const float steps = CalcolaSWR(swr);
      drawMeter(works, kRightPivotX, steps, steps, static_cast<float>(number_ofStep_meter_SWR),
                number_ofStep_meter_SWR, works->needleRight, works->needlePeakRight,
                works->peakRight, CalcolaPwrPeak2);
      putString(8, 570, 160, "SWR", 0, 0, 0, fb);
      snprintf(text, sizeof text, "%02.01f", static_cast<double>(swr));
      putString(8, 580, 180, text, 0, 0, 0, fb);
      break;
    }
    case 3: {
      const float in = v.pwIn;
      const float v = limited(in, 0, 60);
      drawMeter(works, kRightPivotX, v, v, 60, number_ofStep_meter_PW, works->needleRight,
                works->needlePeakRight, works->peakRight, CalcolaPwrPeak2);
      putString(8, 560, 160, "PRWIN", 0, 0, 0, fb);
      FormatPower(works, in, text, sizeof text);
      putString(8, 570, 180, text, 0, 0, 0, fb);
      break;
    }
    default: break;
  }
  DrawFreq(works);
  putString(8, 155, 160, "FORWARD", 0, 0, 0, fb);
  FormatPower(works, fwd, text, sizeof text);
  putString(8, 180, 180, text, 0, 0, 0, fb);
}

void drawClockLine(Works *works) {
  if (!works->viewTimeStr || works->statusView != 0) return;
  char lan[128], date[128], text[300];
  works->lanStatusText.get(lan, sizeof lan);
  works->dateTimeText.get(date, sizeof date);
  snprintf(text, sizeof text, works->uiUpdateAvail ? "UI UPDATE   %s %s" : "%s %s", lan, date);
  putString(6, 780 - getStringSpace(6, text), 17, text, 255, 255, 255, works->fb);
}

// "my_temp" prints the CPU temperature on its first line and the GPU's as
// the four characters from the sixth on of its second ("temp=47.2'C").
// Lines are read as at most 31 characters, as the device always has.
bool parseTemperatures(const std::string &out, float *cpu, float *gpu) {
  std::string lines[2];
  size_t pos = 0;
  for (int i = 0; i < 2 && pos < out.size(); ++i) {
    size_t end = out.find('\n', pos);
    size_t len = (end == std::string::npos ? out.size() : end) - pos;
    if (len > 31) len = 31;
    lines[i] = out.substr(pos, len);
    pos += len;
    if (pos < out.size() && out[pos] == '\n') ++pos;
  }
  bool any = false;
  char *end = nullptr;
  float v = strtof(lines[0].c_str(), &end);
  if (end != lines[0].c_str() && std::isfinite(v)) {
    *cpu = v;
    any = true;
  }
  if (lines[1].size() > 5) {
    std::string g = lines[1].substr(5, 4);
    v = strtof(g.c_str(), &end);
    if (end != g.c_str() && std::isfinite(v)) {
      *gpu = v;
      any = true;
    }
  }
  return any;
}

}  // namespace

float ConvertW_to_dBm(float watts) {
  return 10.0f * log10f(watts * 1000.0f);
}

float CalcolaSWR(float x) {
  if (!(x >= 1.0f)) return 0;
  if (x >= 100.0f) return 60;
  for (int i = 1; i < 12; ++i) {
    const float x1 = CONV_SWR[2 * i], y1 = CONV_SWR[2 * i + 1];
    if (x1 > x) {
      const float x0 = CONV_SWR[2 * i - 2], y0 = CONV_SWR[2 * i - 1];
      return y0 + (y1 - y0) * (x - x0) / (x1 - x0);
    }
  }
  return 60;
}

float NeedleAngle(float value, int steps) {
  if (steps <= 0) steps = 60;
  return static_cast<float>((0.24 - value * 0.48 / steps) * 3.141692653);
}

void NeedleEnd(int cx, int cy, float angle, int *x, int *y) {
  const double a = angle;
  *x = static_cast<int>(cx - kNeedleLength * sin(a) + kNeedleSide * cos(a + 1.5708463265));
  *y = static_cast<int>(cy - kNeedleLength * cos(a) + kNeedleSide * sin(a + 1.5708463265));
}

void FormatPower(Works *works, float watts, char *out, size_t size) {
  if (works->powerUnits == 0) {
    snprintf(out, size, "%02.01fW", static_cast<double>(watts));
    return;
  }
  const float dbm = ConvertW_to_dBm(watts);
  if (!(dbm >= 0))
    snprintf(out, size, "---dBm");
  else
    snprintf(out, size, "%02.01fdBm", static_cast<double>(dbm));
}

void CalcolaPwrPeak(Works *works, float value) {
  if (value > works->peakFwd) {
    works->peakFwd = value;
    works->peakHoldFwd = TimerPeakSec.load();
  } else if (works->peakHoldFwd <= 0) {
    const float f = static_cast<float>(fattoremedia);
    works->peakFwd = (f * works->peakFwd + value) / (f + 1);
  }
}

void CalcolaPwrPeak2(Works *works, float value) {
  if (value > works->peakRight) {
    works->peakRight = value;
    works->peakHoldRight = TimerPeakSec.load();
  } else if (works->peakHoldRight <= 0) {
    const float f = static_cast<float>(fattoremedia);
    works->peakRight = (f * works->peakRight + value) / (f + 1);
  }
}

void ReadCPUTemp(Works *works) {
  if (works->cpuTempMissing) return;
  const int64_t now = MonotonicMs();
  if (now < works->cpuTempNextMs) return;
  works->cpuTempNextMs = now + 1000;
  std::string out;
  const int rc = RunCommand({"my_temp"}, &out, 256);
  if (rc == 127) {
    // The runner has said so once; a missing command stays missing.
    works->cpuTempMissing = 1;
    return;
  }
  if (rc != 0) return;
  float cpu = works->cpuTemp, gpu = works->gpuTemp;
  if (!parseTemperatures(out, &cpu, &gpu)) return;
  works->cpuTemp = cpu;
  works->gpuTemp = gpu;
}

void ReadDataOra(Works *works) {
  const time_t now = time(nullptr);
  if (static_cast<int64_t>(now) == works->dateTimeSecond) return;
  works->dateTimeSecond = static_cast<int64_t>(now);
  struct tm local;
  if (localtime_r(&now, &local) == nullptr) return;
  char text[80];
  if (strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) return;
  works->dateTimeText.set(text);
}

void TimerDrawStart(Works *works) {
  works->needlePeakFwd = 0;
  works->needlePeakRight = 0;
  works->reloadBackground = 1;
  InitGrid();
}

void TimerDrawBackground(Works *works) {
  TakeBackgroundRequest(works);
  fbSetBack(works->fb);
}

void TimerDrawDeviceError(Works *works) {
  if (works->deviceError <= 0) return;
  char detail[128], text[160];
  works->deviceErrorText.get(detail, sizeof detail);
  snprintf(text, sizeof text, "Error! %s", detail);
  putString(8, 100, 400, text, 250, 250, 250, works->fb);
}

void TimerScreenSaver(Works *works) {
  const long long elapsed = static_cast<long long>(time(nullptr)) - works->lastKeyTime;
  int idx = works->saveScreenIdx;
  if (idx < 0 || idx > 4) idx = 0;
  if (elapsed / 60 < SaveScreen[idx] || works->screenSaverOn) return;
  works->screenSaverOn = 1;
  works->imageName.set("start");
  getPng(works, 1);
  fbSetBack(works->fb);
}

void TimerDrawScreen(Works *works, const NebParam *param) {
  ReadCPUTemp(works);
  ReadDataOra(works);
  drawClockLine(works);
  if (works->reloadBackground == 1) {
    works->imageName.set(works->powerClass == '1' ? "img1b" : "img1");
    getPng(works, 1);
    works->reloadBackground = 0;
  }
  LoadButtons(works, param);
  const int view = works->meterView;
  if (works->statusView == 0 && view <= 3) drawMeters(works);
  if (works->statusView == 0 && (view == 4 || view == 5)) DrawGrid(works);
}

void TimerPresent(Works *works) {
  fbRealize(works->fb);
}

void TimerPeakFall(Works *works, double elapsedMs) {
  auto fall = [&](At<int32_t> &hold, At<int32_t> &counter, At<float> &peak) {
    if (hold <= 0) return;
    hold = static_cast<int32_t>(hold - elapsedMs);
    if (counter >= PeakDecrementTime) {
      const float p = static_cast<float>(peak - PeakDecrement);
      peak = p > 0 ? p : 0;
      counter = 0;
    } else {
      ++counter;
    }
  };
  fall(works->peakHoldFwd, works->peakDecCntFwd, works->peakFwd);
  fall(works->peakHoldRight, works->peakDecCntRight, works->peakRight);
}
