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
