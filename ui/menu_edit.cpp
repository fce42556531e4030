// The menu's edit rules. Values change in memory at once; ENTER (and for a
// few entries the other keys) writes the setup file or runs the action.
#include "ui/menu_edit.h"

#include <array>
#include <cmath>
#include <type_traits>

#include "core/process_globals.h"
#include "network/lan.h"
#include "platform/log.h"
#include "ui/menu_actions.h"
#include "ui/plot.h"

namespace {

bool isOther(int type) {
  return type >= MK_MINUS && type <= MK_RIGHT;
}

// Rounds to a number of decimals so that repeated steps of 0.1 or 0.01 do
// not drift away from the values the screen shows.
double roundTo(double v, double scale) {
  return std::round(v * scale) / scale;
}

// How the keys change an entry's value.
enum EditKind : uint8_t {
  EDIT_NONE,    // no value: the keys only confirm
  EDIT_TOGGLE,  // every edit key: 1 when (value & mask) is 0, else 0
  EDIT_CYCLE,   // every edit key: one up, after max back to min
  EDIT_ARM,     // every edit key flips the mask bit of works->armedActions
  EDIT_STEP,    // "+"/"-" by step, then the limit
  EDIT_OWN,     // a rule of its own
};

// What a step does at the ends of min..max.
enum EditLimit : uint8_t {
  LIMIT_NONE,   // there are none
  LIMIT_HOLD,   // a step past the end it goes towards is not taken
  LIMIT_CLAMP,  // the value is brought into min..max
  LIMIT_AHEAD,  // the value stops at the end the step goes towards
  LIMIT_WRAP,   // past max to min, past min to max
  LIMIT_RESET,  // after any key, a value outside min..max becomes min
};

// Which keys confirm the entry (run its action).
enum Confirm : uint8_t {
  ON_ENTER,     // ENTER
  ON_NOT_STEP,  // any key but "+" and "-"
  ON_ANY,       // any key
};

// A setting of Works, or a global, seen as a number.
struct EditValue {
  double (*get)(Works *works) = nullptr;
  void (*set)(Works *works, double v) = nullptr;
};

template <auto Member>
double getMember(Works *w) {
  return (w->*Member).load();
}
template <auto Member>
void setMember(Works *w, double v) {
  using T = typename std::remove_reference_t<decltype(w->*Member)>::value_type;
  w->*Member = static_cast<T>(v);
}
template <auto Member>
constexpr EditValue kMember = {getMember<Member>, setMember<Member>};

template <auto &Global>
double getGlobal(Works *) {
  return Global.load();
}
template <auto &Global>
void setGlobal(Works *, double v) {
  using T = typename std::remove_reference_t<decltype(Global)>::value_type;
  Global = static_cast<T>(v);
}
template <auto &Global>
constexpr EditValue kGlobal = {getGlobal<Global>, setGlobal<Global>};

struct EditRule {
  EditKind kind = EDIT_NONE;
  EditValue value = {};
  double min = 0, max = 0, step = 0;
  double scale = 0;  // steps rounded to 1/scale; 0 keeps them as they are
  EditLimit limit = LIMIT_NONE;
  int mask = -1;                          // EDIT_TOGGLE, EDIT_ARM
  double (*top)(Works *works) = nullptr;  // a max that is itself a setting
  void (*own)(Works *works, int entry, int type) = nullptr;
  bool reportsChange = false;  // "+"/"-" return 1
  MenuAction action = MA_NONE;
  Confirm confirm = ON_ENTER;
};

// Below 1 the target is off: "+" brings it to 1, "-" to 0.
void stepTargetSwr(Works *works, int, int type) {
  const bool plus = type == MK_PLUS;
  const bool minus = type == MK_MINUS;
  double v = works->swrEscAutoTune;
  if (plus) {
    v = roundTo(v + 0.01, 100);
    if (v < 1) v = 1;
  } else if (minus) {
    v = roundTo(v - 0.01, 100);
    if (v < 1) v = 0;
  }
  if (plus || minus) {
    if (v > 10) v = 10;
    if (v < 0) v = 0;
    works->swrEscAutoTune = static_cast<float>(v);
  }
}

void flipAtuInstalled(Works *works, int, int type) {
  if (!isOther(type)) return;
  int8_t v = static_cast<int8_t>(works->tuneEnabled ^ static_cast<int8_t>(0x80));
  works->tuneEnabled = v;
  LogStderr("----------> SAVE ATU: 0x%0X\n", static_cast<unsigned>(static_cast<uint8_t>(v)));
}

void useModeKey(Works *works, int, int type) {
  if (isOther(type)) RemoteRequestToggle(works);
}

// The LAN entries: the octets and cursor each edits.
struct LanEntry {
  At<uint8_t> *vector;
  At<int> *cursor;
  At<uint8_t> *none;
};

LanEntry lanEntry(int entry) {
  switch (entry) {
    case ME_LAN_IP: return {IP_v, &CntIP, nullptr};
    case ME_LAN_SUBNET: return {NetMask_v, &CntNetMask, nullptr};
    case ME_LAN_GATEWAY: return {Gateway_v, &CntGateway, &Gateway_none};
    default: return {DNS_v, &CntDNS, &DNS_none};
  }
}

void lanKey(Works *, int entry, int type) {
  if (!isOther(type)) return;
  LanEntry e = lanEntry(entry);
  *e.cursor = ModifyIP(type, *e.cursor, e.vector);
  // An address the user sets is an address to save, even where the
  // file had none.
  if ((type == MK_PLUS || type == MK_MINUS) && e.none != nullptr) *e.none = 0;
}

// Points per division: 1, 2, 5, 10, 20, 40 ... and back by halves.
void stepPointDiv(Works *, int, int type) {
  int v = PointDiv;
  if (type == MK_PLUS && v <= 19) {
    v *= 2;
    if (v == 4) v = 5;
  } else if (type == MK_MINUS && v > 1) {
    v /= 2;
  }
  PointDiv = v;
}

double tempTop(Works *works) {
  return works->maxTempAllowed;
}

constexpr EditRule toggle(EditValue value, MenuAction action = MA_SAVE, int mask = -1) {
  EditRule r;
  r.kind = EDIT_TOGGLE;
  r.value = value;
  r.mask = mask;
  r.action = action;
  return r;
}

constexpr EditRule stepped(EditValue value, double min, double max, double step, EditLimit limit,
                           MenuAction action = MA_SAVE) {
  EditRule r;
  r.kind = EDIT_STEP;
  r.value = value;
  r.min = min;
  r.max = max;
  r.step = step;
  r.limit = limit;
  r.action = action;
  return r;
}

constexpr EditRule own(void (*rule)(Works *, int, int), MenuAction action = MA_SAVE) {
  EditRule r;
  r.kind = EDIT_OWN;
  r.own = rule;
  r.action = action;
  return r;
}

constexpr EditRule armed(int bit, MenuAction action) {
  EditRule r;
  r.kind = EDIT_ARM;
  r.mask = bit;
  r.action = action;
  return r;
}

constexpr std::array<EditRule, ME_COUNT> makeRules() {
  std::array<EditRule, ME_COUNT> r{};
  r[ME_MAX_BANK] = stepped(kMember<&Works::maxBank>, 2, 20, 1, LIMIT_WRAP);
  r[ME_MAX_BANK].confirm = ON_NOT_STEP;
  r[ME_FREQ_SENS] = toggle(kMember<&Works::freqSensIn>, MA_SAVE_FREQ_SENSE);
  // The command carries the period in four digits, so it stays below 10000.
  r[ME_FREQ_PERIOD] =
      stepped(kMember<&Works::freqPeriodTime>, 1, 9999, 10, LIMIT_HOLD, MA_SAVE_FREQ_SENSE);
  r[ME_FREQ_PERIOD].reportsChange = true;
  r[ME_AUTOTUNE_ENABLE] = toggle(kMember<&Works::autoTuneMode>, MA_SAVE, kAutoTuneOn);
  r[ME_AUTOTUNE_ATT].kind = EDIT_CYCLE;
  r[ME_AUTOTUNE_ATT].value = kMember<&Works::attenuatorTune>;
  r[ME_AUTOTUNE_ATT].max = 3;
  r[ME_AUTOTUNE_ATT].action = MA_SAVE;
  r[ME_TARGET_SWR] = own(stepTargetSwr);
  r[ME_TARGET_SWR].reportsChange = true;
  r[ME_AUTOTUNE_TIMEOUT] = stepped(kMember<&Works::autoTuneMaxCicli>, 0, 4, 1, LIMIT_RESET);
  r[ME_ATU_INSTALLED] = own(flipAtuInstalled);
  r[ME_USE_MODE] = own(useModeKey, MA_REMOTE_APPLY);
  for (int lan : {ME_LAN_IP, ME_LAN_SUBNET, ME_LAN_GATEWAY, ME_LAN_DNS})
    r[lan] = own(lanKey, MA_SAVE_LAN);
  r[ME_PLOT_REF_LEV] = stepped(kGlobal<RefLevel>, 0, 0, 10, LIMIT_NONE, MA_NONE);
  r[ME_PLOT_REF_POS] = stepped(kGlobal<RefPos>, 0, 10, 1, LIMIT_HOLD, MA_NONE);
  r[ME_PLOT_POINT_DIV] = own(stepPointDiv, MA_NONE);
  r[ME_PLOT_OFFSET] = stepped(kMember<&Works::offsetPlot>, 0, 0, 0.1, LIMIT_NONE);
  r[ME_PLOT_OFFSET].scale = 10;
  r[ME_PLOT_OFFSET].reportsChange = true;
  r[ME_PLOT_OFFSET].confirm = ON_NOT_STEP;
  r[ME_FILTER_VIEW] = toggle(kMember<&Works::filterView>, MA_FILTER_VIEW);
  r[ME_VIEW_DATETIME] = toggle(kMember<&Works::viewTimeStr>);
  r[ME_TEMP_UNITS] = toggle(kMember<&Works::tempMode>);
  r[ME_PEAK_METER] = toggle(kMember<&Works::enablePwrPeak>);
  r[ME_PEAK_RELEASE] = stepped(kGlobal<TimerPeakSec>, 0, 5000, 10, LIMIT_CLAMP);
  r[ME_PEAK_RELEASE].reportsChange = true;
  r[ME_PEAK_RELEASE].confirm = ON_NOT_STEP;
  r[ME_TEMP_ALARM1] = stepped(kMember<&Works::maxTemperature>, 20, 0, 0.1, LIMIT_CLAMP);
  r[ME_TEMP_ALARM2] = stepped(kMember<&Works::maxTemperature2>, 20, 0, 0.1, LIMIT_CLAMP);
  for (int alarm : {ME_TEMP_ALARM1, ME_TEMP_ALARM2}) {
    r[alarm].scale = 10;
    r[alarm].top = tempTop;
  }
  r[ME_POWER_UNITS] = toggle(kMember<&Works::powerUnits>);
  r[ME_SCREEN_SAVER] = stepped(kMember<&Works::saveScreenIdx>, 0, 4, 1, LIMIT_RESET);
  r[ME_FACTORY_DEFAULT] = toggle(kMember<&Works::factoryArmed>, MA_FACTORY_RESET);
  r[ME_LONG_PRESS] = stepped(kGlobal<TIME_LONG_PRESS>, 0.3, 5.0, 0.1, LIMIT_AHEAD);
  r[ME_LONG_PRESS].scale = 10;
  r[ME_LONG_PRESS].confirm = ON_NOT_STEP;
  r[ME_OFF_HW].action = MA_POWER_OFF;
  r[ME_OFF_HW].confirm = ON_ANY;
  r[ME_FW_UPDATE] = armed(kArmedFwUpdate, MA_FW_UPDATE);
  r[ME_UI_UPDATE] = armed(kArmedUiUpdate, MA_UI_UPDATE);
  r[ME_REMOTE_SERVICE] = armed(kArmedRemoteService, MA_REMOTE_SERVICE);
  return r;
}

constexpr std::array<EditRule, ME_COUNT> kEditRules = makeRules();

// "+"/"-" on a stepped entry; an entry that resets its value checks it after any key.
void stepValue(Works *works, const EditRule &r, int type) {
  const bool up = type == MK_PLUS, down = type == MK_MINUS;
  if (!up && !down && r.limit != LIMIT_RESET) return;
  const double max = r.top != nullptr ? r.top(works) : r.max;
  double v = r.value.get(works);
  if (up || down) {
    v = up ? v + r.step : v - r.step;
    if (r.scale > 0) v = roundTo(v, r.scale);
  }
  switch (r.limit) {
    case LIMIT_NONE: break;
    case LIMIT_HOLD:
      if (up ? v > max : v < r.min) return;
      break;
    case LIMIT_CLAMP:
      if (v > max) v = max;
      if (v < r.min) v = r.min;
      break;
    case LIMIT_AHEAD:
      if (up && v > max) v = max;
      if (down && v < r.min) v = r.min;
      break;
    case LIMIT_WRAP:
      if (v > max || v < r.min) v = up ? r.min : max;
      break;
    case LIMIT_RESET:
      if (v < r.min || v > max) v = r.min;
      break;
  }
  r.value.set(works, v);
}

void applyRule(Works *works, const EditRule &r, int entry, int type) {
  switch (r.kind) {
    case EDIT_NONE: break;
    case EDIT_TOGGLE:
      if (isOther(type))
        r.value.set(works, (static_cast<int>(r.value.get(works)) & r.mask) ? 0 : 1);
      break;
    case EDIT_CYCLE:
      if (isOther(type)) {
        const double v = r.value.get(works);
        r.value.set(works, v >= r.max ? r.min : v + 1);
      }
      break;
    case EDIT_ARM:
      if (isOther(type)) works->armedActions.fetch_xor(static_cast<uint8_t>(r.mask));
      break;
    case EDIT_STEP: stepValue(works, r, type); break;
    case EDIT_OWN: r.own(works, entry, type); break;
  }
}

bool confirms(Confirm confirm, int type) {
  switch (confirm) {
    case ON_ENTER: return type == MK_ENTER;
    case ON_NOT_STEP: return type != MK_PLUS && type != MK_MINUS;
    case ON_ANY: return true;
  }
  return false;
}

}  // namespace

int ModifyIP(int type, int cursor, At<uint8_t> *vector) {
  if (cursor < 0 || cursor > 3) cursor = 0;
  switch (type) {
    case MK_MINUS: vector[cursor] = static_cast<uint8_t>(vector[cursor] - 1); break;
    case MK_PLUS: vector[cursor] = static_cast<uint8_t>(vector[cursor] + 1); break;
    case MK_LEFT: cursor = cursor == 0 ? 3 : cursor - 1; break;
    case MK_RIGHT: cursor = cursor == 3 ? 0 : cursor + 1; break;
    default: break;
  }
  return cursor;
}

int ModifyParameter(Works *works, int type) {
  const int entry = works->menuIdx;
  if (entry < 0 || entry >= ME_COUNT) return 0;
  const EditRule &rule = kEditRules[entry];
  applyRule(works, rule, entry, type);
  if (confirms(rule.confirm, type)) RunMenuAction(works, rule.action);
  return rule.reportsChange && (type == MK_PLUS || type == MK_MINUS) ? 1 : 0;
}
