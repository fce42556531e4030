#pragma once
#include "core/works.h"

int ReadLanParam();
int SaveLanParam();
void ReadLANconnection(Works *works);
