#pragma once
// Table files of the simulator's default root: config.txt, filter.txt and
// the band file of the default bank (1), made for the simulated amplifier
// and its antennas.
#include <string>
#include <vector>

struct SimTableFile {
  const char *devicePath;  // "/opt/set/config.txt", ...
  const char *text;
};

// The files, in the order a launcher writes them.
std::vector<SimTableFile> SimDefaultTables();
