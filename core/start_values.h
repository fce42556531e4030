#pragma once
// The record's start values: those of the settings (which reading the setup
// file starts from), those of the run-time fields, and those of the
// controller link's fields, which the link sets (core/link_requests.h).
#include "core/works.h"

// Every start value, as at start-up. The link's part goes through the link
// (at start-up there is none yet: it is set at once).
void InitGlobalVar(Works *works);
// The settings that the setup file holds, and the process-wide meter, peak
// and key settings.
void InitSettingValues(Works *works);
// The link's run-time fields (link thread). keepReported keeps what the
// controller and the relays report (bypasses, antenna, relay word, its
// model and acknowledgement): a factory reset changes settings, not them.
void InitLinkStartValues(Works *works, bool keepReported);
