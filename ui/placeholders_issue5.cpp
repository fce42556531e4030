// Placeholder until the front panel lands (it owns the manual tune screen):
// the labels of the manual tune screen, L and C steps and the network mode.
#include "ui/menu.h"
#include "ui/screens_common.h"
#include "ui/ui.h"

void ImpostaLblManuale(Works *works) {
  if (works->screenState != 4) return;
  SetKeyLabelf(4, 3, 1, "     %u", static_cast<unsigned>(works->tuneL));
  SetKeyLabelf(4, 5, 1, "     %u", static_cast<unsigned>(works->tuneC));
  SetKeyLabel(4, 1, 1, NetworkModeText(works->tuneVal));
}
