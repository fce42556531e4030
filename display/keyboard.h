#pragma once
#include "core/works.h"

void *keyb(void *works);  // service keyboard thread
