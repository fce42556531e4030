// Decoder of the controller's replies: measured values, errors, temperatures
// and fan; what a reply was, for the link to choose its next command; the
// status text for a remote peer.
#include "controller/decoder.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "config/config.h"
#include "controller/temperature.h"
#include "core/key_labels.h"
#include "core/link_requests.h"
#include "core/process_globals.h"
#include "errors/errors.h"
#include "errors/recovery.h"
#include "platform/log.h"

namespace {

// One reply: the characters after the check digits, ';' included. Positions
// past its end read as NUL, so no field is ever read beyond the reply.
struct Reply {
  const char *t;
  int len;
  char at(int i) const { return i >= 0 && i < len ? t[i] : 0; }
};

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// Decimal digits at [pos, pos + n); false when one of them is not a digit.
bool decimalAt(const Reply &r, int pos, int n, int *out) {
  int v = 0;
  for (int i = 0; i < n; ++i) {
    char c = r.at(pos + i);
    if (!isDigit(c)) return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return true;
}

// Hex pair at pos (high nibble first); -1 when not two hex digits.
int hexPairAt(const Reply &r, int pos) {
  int hi = charToInt(r.at(pos));
  int lo = charToInt(r.at(pos + 1));
  if (hi < 0 || lo < 0) return -1;
  return hi * 16 + lo;
}

ReplyRead answered() {
  return ReplyRead{RP_ANSWER};
}

ReplyRead notRecognised(const char *shown) {
  LogStderr("---------------------------------------cmd non riconosciuto:%s\n", shown);
  return ReplyRead{RP_UNKNOWN};
}

// Data page 0 or 1: 32 hex pairs from position 6, read as text.
void readPage(const Reply &r, SharedText<33> *page, const char *logFmt) {
  char bytes[33];
  int n = 0;
  for (; n < 32; ++n) {
    int v = hexPairAt(r, 6 + 2 * n);
    if (v < 0) break;
    bytes[n] = static_cast<char>(v);
  }
  bytes[n] = 0;
  page->set(bytes);
  LogStderr(logFmt, bytes);
}

// The fields of a status frame, all checked before any of them is used.
struct Status {
  int st0, st1, fault;
  int pw, fwd, refl, current, t1, t2;
  int peak;  // -1 when the frame carries none
};

bool parseStatus(const Reply &r, Status *s) {
  if (r.len < 31) return false;
  s->st0 = charToInt(r.at(2));
  s->st1 = charToInt(r.at(3));
  int lo = charToInt(r.at(28));
  int hi = charToInt(r.at(29));
  if (s->st0 < 0 || s->st1 < 0 || lo < 0 || hi < 0) return false;
  s->fault = hi * 16 + lo;
  if (!decimalAt(r, 4, 4, &s->pw) || !decimalAt(r, 8, 4, &s->fwd) ||
      !decimalAt(r, 12, 4, &s->refl) || !decimalAt(r, 16, 4, &s->current) ||
      !decimalAt(r, 20, 4, &s->t1) || !decimalAt(r, 24, 4, &s->t2))
    return false;
  if (!decimalAt(r, 32, 4, &s->peak)) s->peak = -1;
  return true;
}

float smoothed(float stored, float t) {
  return stored == 0.0f ? t : (stored * 9.0f + t) / 10.0f;
}

void followControllerState(Works *works, const Status &s) {
  uint8_t bypass = (s.st1 & 8) ? 1 : 0;
  if (bypass != works->ampBypass) {
    works->ampBypass = bypass;
    LogStderr(bypass ? "STATE DA ERRORE : bypass on\n" : "STATE DA ERRORE : bypass off\n");
  }
  static const char *const kAttLog[] = {
      "STATE DA ERRORE : attenuatore 3dB=off 2dB=off\n",
      "STATE DA ERRORE : attenuatore 3dB=off 2dB=on\n",
      "STATE DA ERRORE : attenuatore 3dB=on 2dB=off\n",
      "STATE DA ERRORE : attenuatore 3dB=on 2dB=on\n",
  };
  int att = ((s.st0 & 8) ? 2 : 0) | ((s.st0 & 4) ? 1 : 0);
  if (att != works->attenuator) {
    LogStderr("%s", kAttLog[att]);
    works->attenuator = static_cast<uint8_t>(att);
    works->attenuatorSel = static_cast<uint8_t>(att);
    SetAttenuatorLabel(works);
  }
}

void statusErrors(Works *works, const Status &s) {
  int f = s.fault;
  if ((f & 0x80) && works->microResetSeen == 1) AddErrore(works, ERR_MICRO_RESET);
  if (f & 0x5F) {
    if (f & 0x40) {
      AddErrore(works, ERR_BAND_STBY);
    } else {
      static const char *const kCause[] = {"I OUT", "REFL", "FWD", "SENS PW", "FILTER TX"};
      const char *cause = nullptr;
      for (int bit = 0; bit < 5; ++bit)
        if (f & (1 << bit)) cause = kCause[bit];
      works->errCause.set(cause);
      AddErrore(works, ERR_AMP_FAULT);
    }
  } else {
    DeleteErrore(works, ERR_AMP_FAULT);
    ClearErrorFlagsAfterReset(works);
  }
  if ((f & 0x20) && works->anSel == 1 && works->autoTuneState == 0 &&
      (works->autoTuneMode &
       (kAutoTuneLoopStarted | kAutoTuneRxWanted | kAutoTuneRxSent | kAutoTuneKeyStarted)) == 0)
    AddErrore(works, ERR_PWR_IN);
  if (s.st1 & 2) {
    AddErrore(works, ERR_HI_SWR);
  } else {
    DeleteErrore(works, ERR_HI_SWR);
    ClearErrorFlagsAfterReset(works);
  }
  if (!(s.st1 & 4)) ClearErrorFlagsAfterReset(works);
}

float swrOf(float fwd, float refl) {
  float swr = 0.0f;
  if (fwd > 0.3f) {
    if (fwd < refl) {
      swr = 100.0f;
    } else {
      float rho = std::sqrt(refl / fwd);
      swr = rho >= 1.0f ? 100.0f : (1.0f + rho) / (1.0f - rho);
    }
  } else if (refl > 0.5f) {
    swr = 100.0f;
  }
  return std::min(swr, 100.0f);
}

ReplyRead statusFrame(Works *works, const Reply &r, const char *shown) {
  Status s;
  if (!parseStatus(r, &s)) return notRecognised(shown);

  if (works->errorRecovery == 2) {
    GestErroreSerial(works);
    LogStderr(">>> ERRORI: End Gest Errori!!\n");
    works->errorRecovery = 0;
  }
  works->stErr[0] = static_cast<uint8_t>(s.st0);
  works->stErr[1] = static_cast<uint8_t>(s.st1);
  works->stErr[2] = static_cast<uint8_t>(s.fault);

  bool reportsBypass = (s.st1 & 8) != 0;
  if (reportsBypass && works->ampBypass == 0 && works->ampBypassReq == 1) {
    LogStderr("--------------- AMPL ERRORE : bypass on %s\n", shown);
    works->ampBypass = 1;
  } else if (!reportsBypass && works->ampBypass == 1 && works->ampBypassReq == 0) {
    LogStderr("--------------- AMPL ERRORE : bypass off %s\n", shown);
    works->ampBypass = 0;
  }
  if (ExistError(works, ERR_COMM)) followControllerState(works, s);

  statusErrors(works, s);

  if (works->enableLogTemp == 1 && (s.st1 & 1) && works->logRemoved == 0) {
    LogStderr("REMOVE file LOG \n");
    LogTempFunction(works, -1);
    LogTempFunction(works, 0);
    works->logRemoved = 1;
  }

  float k0 = SearchK(works, 0), k1 = SearchK(works, 1), k2 = SearchK(works, 2),
        k3 = SearchK(works, 3);
  works->rawPw = static_cast<uint16_t>(s.pw);
  works->rawFwd = static_cast<uint16_t>(s.fwd);
  works->rawRefl = static_cast<uint16_t>(s.refl);
  float pwIn = k2 * static_cast<float>(s.pw) * static_cast<float>(s.pw);
  float pwFwd = k0 * static_cast<float>(s.fwd) * static_cast<float>(s.fwd);
  float pwRefl = k1 * static_cast<float>(s.refl) * static_cast<float>(s.refl) + k3 * pwFwd;
  pwRefl = std::max(0.0f, pwRefl);
  works->pwIn = pwIn;
  works->pwFwd = pwFwd;
  works->pwRefl = pwRefl;
  works->swr = swrOf(pwFwd, pwRefl);

  works->iAdc = static_cast<float>(s.current);

  works->temp1 = smoothed(works->temp1, CalcolaTemp(s.t1));
  works->temp2 = smoothed(works->temp2, CalcolaTemp(s.t2));

  if (works->enablePwrPeak == 1 && s.peak >= 0) {
    float limit = works->powerClass == '1' ? 130.0f : 70.0f;
    float peak = k0 * static_cast<float>(s.peak) * static_cast<float>(s.peak);
    works->pwFwdPeak = std::min(peak, limit);
  }

  searchPercentVentola(works);
  GestTemperatureFunction(works, ERR_TEMP1_ALARM, ERR_TEMP1_LATCHED, ERR_TEMP1_WARN, works->temp1,
                          works->maxTemperature);
  GestTemperatureFunction(works, ERR_TEMP2_ALARM, ERR_TEMP2_LATCHED, ERR_TEMP2_WARN, works->temp2,
                          works->maxTemperature2);

  return ReplyRead{RP_STATUS};
}

// "VS": the controller's firmware version, up to 7 characters.
ReplyRead versionReply(Works *works, const Reply &r) {
  char version[8];
  int n = 0;
  for (; n < 7 && r.at(3 + n) != 0 && r.at(3 + n) != ';'; ++n) version[n] = r.at(3 + n);
  version[n] = 0;
  works->microVersion.set(version);
  return answered();
}

// "FM": the measured frequency in hertz.
ReplyRead frequencyReply(Works *works, const Reply &r) {
  long long hz = 0;
  int n = 0;
  for (; n < 11 && isDigit(r.at(3 + n)); ++n) hz = hz * 10 + (r.at(3 + n) - '0');
  if (n > 0 && hz > 0 && hz <= INT32_MAX) works->freqMeasured = static_cast<int32_t>(hz);
  return answered();
}

// "GS": the general settings, ten characters.
ReplyRead settingsReply(Works *works, const Reply &r, const char *shown) {
  char settings[11];
  int n = 0;
  for (; n < 10; ++n) {
    char c = r.at(2 + n);
    if (c == ';' || c == 0) {
      LogStderr("ERRORE!! Impostazioni Generali\n");
      break;
    }
    settings[n] = c;
  }
  settings[n] = 0;
  works->genSettings.set(settings);
  LogStderr("Impostazioni Generali : %s (%s)\n", settings, shown);
  return answered();
}

// "ER": one of the three EEPROM pages.
ReplyRead eepromReply(Works *works, const Reply &r) {
  switch (r.at(5)) {
    case '0': readPage(r, &works->eePage0, "EE0:%s\n"); break;
    case '1': readPage(r, &works->eePage1, "EE1:%s\n"); break;
    case '2': {
      int model = hexPairAt(r, 6);
      int power = hexPairAt(r, 8);
      if (model >= 0) works->eeModel = static_cast<uint8_t>(model);
      if (power >= 0) works->powerClass = static_cast<uint8_t>(power);
      number_ofStep_meter_FWD = works->powerClass == '1' ? 120 : 60;
      LogStderr("EE2: %x %x\n", static_cast<unsigned>(works->eeModel),
                static_cast<unsigned>(works->powerClass));
      break;
    }
    default: break;
  }
  return answered();
}

}  // namespace

int charToInt(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

ReplyRead DecodeCatCmd(Works *works, const char *text, int count) {
  int len = count - 2;
  if (len < 0 || text == nullptr) len = 0;
  len = static_cast<int>(strnlen(text ? text : "", static_cast<size_t>(len)));
  Reply r{text, len};
  char shown[kLinearRxMax + 1];
  snprintf(shown, sizeof shown, "%.*s", len, len > 0 ? text : "");

  // Fewer than 3 characters carry no reply: handled as one not recognised.
  if (count < 3 || len < 2) return notRecognised(shown);

  char third = r.at(2);
  if (third == '?' || third == '!' || third == '&') {
    LogStderr("---------------------------------------CMD Errato:%s\n", shown);
    return ReplyRead{RP_REJECTED};
  }

  char a = r.at(0), b = r.at(1);
  auto is = [&](const char *letters) { return a == letters[0] && b == letters[1]; };
  int digit = isDigit(third) ? third - '0' : -1;

  if (is("ST")) return statusFrame(works, r, shown);
  if (is("VS")) return versionReply(works, r);
  if (is("TU")) {
    if (digit >= 0) works->tuState = static_cast<uint8_t>(digit);
    return answered();
  }
  if (is("SA")) {
    // Antennas are 1..3; another digit would index past the tune tables.
    if (digit >= 1 && digit <= 3) works->antenna = digit - 1;
    return answered();
  }
  if (is("FM")) return frequencyReply(works, r);
  if (is("FA") || is("MT") || is("FS") || is("AT") || is("MP") || is("TS")) return answered();
  if (is("CP")) {
    works->cpPending &= static_cast<uint8_t>(~1u);
    return answered();
  }
  if (is("AB")) {
    LogStderr(">> ByPass Ampl: %s\n", shown);
    works->ampBypass = third == '1' ? 1 : 0;
    return answered();
  }
  if (is("AN")) {
    if (digit >= 0) works->anSel = digit;
    if (works->tuneCarrierFlags & kCarrierAntennaAsked)
      works->tuneCarrierFlags |= kCarrierAntennaSet;
    return answered();
  }
  if (is("FN")) {
    LogStderr("Ventola: %s\n", shown);
    return answered();
  }
  if (is("PS")) {
    LogStderr("Protezioni automatiche setted : %s\n", shown);
    return answered();
  }
  if (is("SF")) {
    LogStderr("Pilotaggio Relè : %s\n", shown);
    return answered();
  }
  if (is("SE")) {
    LogStderr("SERVICE ATTIVO!! : %s\n", shown);
    return answered();
  }
  if (is("GM")) {
    LogStderr("Impostazioni Generic mode : %s\n", shown);
    return answered();
  }
  if (is("MR")) {
    LogStderr("RESET MICRO: %s\n", shown);
    if (third == '0') works->microResetSeen = 1;
    LogStderr("RESET MICRO ----------------------------------  %x\n",
              static_cast<unsigned>(works->microResetSeen));
    return answered();
  }
  if (is("GS")) return settingsReply(works, r, shown);
  if (is("ER")) return eepromReply(works, r);
  return notRecognised(shown);
}

namespace {

// Prints a field at its position; a longer print is cut by the next field and
// a shorter one padded with blanks, so every field keeps its place.
__attribute__((format(printf, 4, 5))) void putField(char *out, int pos, int width, const char *fmt,
                                                    ...) {
  char tmp[64];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(tmp, sizeof tmp, fmt, ap);
  va_end(ap);
  if (n < 0) n = 0;
  if (n > static_cast<int>(sizeof tmp) - 1) n = static_cast<int>(sizeof tmp) - 1;
  for (int i = 0; i < width; ++i) out[pos + i] = i < n ? tmp[i] : ' ';
}

}  // namespace

void CreaBufferDiStato(Works *works, char *out) {
  memset(out, '0', 52);
  out[51] = ';';
  out[52] = 0;

  LinkView v;
  ReadLinkView(works, &v);
  char name[8] = "----";
  {
    std::lock_guard<std::recursive_mutex> lock(works->tablesMutex);
    int n = std::clamp(works->numBands.load(), 0, 11);
    int f = works->frequency;
    for (int i = 0; i < n; ++i) {
      const TabAntennaRow &row = works->tabAntenna[i];
      if (static_cast<int64_t>(row.fmin) <= f && f <= static_cast<int64_t>(row.fmax)) {
        snprintf(name, sizeof name, "%.7s", row.name);
        break;
      }
    }
  }
  putField(out, 0, 4, "%-4.4s", name);
  int mode = works->modeWorkIdx;
  out[4] = mode == 1 ? '1' : (mode == 2 ? '2' : '0');
  out[5] = static_cast<char>('0' + v.attenuator);
  out[6] = static_cast<char>('0' + v.antenna);
  out[7] = v.ampBypass ? '1' : '0';
  out[8] = works->tuneEnabled < 0 ? 'N' : (v.atuBypass ? 'B' : 'T');
  out[9] = v.autoTuneState ? '1' : '0';
  putField(out, 10, 6, "%06.02f", static_cast<double>(v.swr));
  putField(out, 16, 6, "%06.2f", static_cast<double>(v.pwFwd));
  putField(out, 22, 6, "%06.02f", static_cast<double>(v.pwIn));
  putField(out, 28, 4, "%04.01f", static_cast<double>(std::max(v.temp1, v.temp2)));
  putField(out, 32, 4, "%4.1f", static_cast<double>(CalvTensVadcAmp(works, works->panelVampAdc)));
  putField(out, 36, 4, "%04.01f", static_cast<double>(v.iAdc / 4096.0f * 14.05f));
  putField(out, 40, 2, "%02d", works->numBanco.load());
  const int newest = NewestError(works);
  out[42] = newest >= 0 ? static_cast<char>(newest + 1) : '0';
}
