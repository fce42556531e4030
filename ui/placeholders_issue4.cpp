// Placeholders until the screens land: the labels are not drawn yet.
#include "ui/ui.h"

void SetLumoLabel(Works *, int, int, const char *) {}
void LabelByPassLumo(Works *, const char *) {}
