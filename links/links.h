#pragma once
// Transceiver links: EXT IO serial link, FT-817 reader, CAT link, USB spectrum.
#include "core/works.h"
#include "links/nebparam.h"

void *Serial(void *works);     // EXT IO link thread
void *CatSerial(void *works);  // FT-817 frequency reader thread
void *Cat(void *works);        // CAT link thread
void *NEBRead(void *works);    // USB spectrum reader thread
// Copies the parameter record under serMut.
void getParameters(NebParam *destination, Works *works);

// Remote prerequisites: 0 all present, 1 USB receiver missing, 2 CAT port
// missing, 3 audio capture missing.
int Find_Remote_Settings(Works *works);
