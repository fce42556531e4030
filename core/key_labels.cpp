#include "core/key_labels.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/link_requests.h"

LumoMenuTable Lumomenu;
const char AttVectStr[5][8] = {"0", "2", "3", "5", "StBy"};
const char MODEwork[kModesOfWork][8] = {"Generic", "KTLNEB", " FT-817", " Hamlib"};

namespace {

void copyText(char *dst, size_t size, const char *src) {
  const size_t n = strnlen(src, size - 1);
  memcpy(dst, src, n);
  dst[n] = 0;
}

}  // namespace

void SetKeyLabel(int state, int key, int line, const char *text) {
  if (state < 0 || state >= kLumoStates || key < 1 || key > kLumoKeys || line < 0 || line > 1)
    return;
  std::lock_guard<std::mutex> lock(Lumomenu.mutex);
  copyText(Lumomenu.row[state].key[key - 1].line[line], kLumoLabelLen + 1, text ? text : "");
}

void SetKeyLabelf(int state, int key, int line, const char *fmt, ...) {
  char buf[kLumoLabelLen + 1];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  SetKeyLabel(state, key, line, buf);
}

void SetMenuKeyLabel(int state, int key, int line, const char *text) {
  SetKeyLabel(state, key, line, text);
}

void SetLumoLabel(Works *, int state, int key, const char *text) {
  SetKeyLabel(state, key, 1, text);
}

void GetKeyRow(int state, LumoRow *out) {
  if (state < 0 || state >= kLumoStates) {
    memset(out, 0, sizeof *out);
    return;
  }
  std::lock_guard<std::mutex> lock(Lumomenu.mutex);
  *out = Lumomenu.row[state];
}

void GetLblInterface(int mode, char *dst) {
  if (mode < 0 || mode >= kModesOfWork) return;
  snprintf(dst, 8, "%s", MODEwork[mode]);
}

void SetAttenuatorLabel(Works *works) {
  LinkView v;
  ReadLinkView(works, &v);
  if (works->screenState != SS_MAIN) return;
  if (v.ampBypass == 1)
    SetKeyLabel(SS_MAIN, 2, 1, "  StBy");
  else
    SetKeyLabelf(SS_MAIN, 2, 1, "  %sdB", AttText(v.attenuator));
}

void SetModeWorkLabel(Works *works) {
  if (works->screenState != SS_MAIN) return;
  SetKeyLabelf(SS_MAIN, 1, 1, "BANK%i", works->numBanco.load());
}

void LabelByPassATU(Works *works) {
  LinkView v;
  ReadLinkView(works, &v);
  if (works->screenState != SS_TUNE) return;
  SetKeyLabel(SS_TUNE, 5, 1, v.atuBypass == 1 ? "   Bpy" : "   On");
}

void LabelByPassLumo(Works *works, const char *text) {
  if (works->screenState != SS_TUNE) return;
  SetKeyLabel(SS_TUNE, 5, 1, text);
}

void LblMenuAntenna(Works *works) {
  if (works->screenState != SS_MEMORY_TABLE) return;
  char mode[9] = "";
  GetLblInterface(works->modeWorkIdx, mode);
  SetKeyLabel(SS_MEMORY_TABLE, 2, 1, mode);
}

void LabelSAVEATU(Works *works) {
  if (works->screenState != SS_SAVE_TUNE) return;
  SetKeyLabelf(SS_SAVE_TUNE, 2, 1, "   %i", works->saveBank.load());
  SetKeyLabelf(SS_SAVE_TUNE, 3, 1, "     %i", works->saveAnt + 1);
}

void LblCOPY(Works *works) {
  if (works->screenState != SS_COPY_BANK) return;
  SetKeyLabelf(SS_COPY_BANK, 2, 1, "    %i", works->copyOrigin.load());
  SetKeyLabelf(SS_COPY_BANK, 3, 1, "    %i", works->copyDest.load());
}

void LblRESET(Works *works) {
  if (works->screenState != SS_RESET_BANK) return;
  if (works->resetBank == works->maxBank)
    SetKeyLabel(SS_RESET_BANK, 2, 1, "  ALL");
  else
    SetKeyLabelf(SS_RESET_BANK, 2, 1, "    %i", works->resetBank.load());
}
