#pragma once
// The recorder: once a second it samples the readings into the trends,
// notes band, antenna, bank and operate/standby changes in the event log,
// and hands the log's pending events to the file writer. Its own thread
// ("record"), so no link ever waits for it.
#include <string>

#include "core/works.h"

// Opens the log (last id, torn tail dropped) and records the start. Call
// after StartFileWriter, before anything records an event.
void OpenStationRecord(Works *works);
// Starts the thread, once the setup and the bank's tables are loaded (what
// it sees first is no change).
void StartStationRecord(Works *works);
// Records the stop, writes what is pending and ends the thread. Call before
// StopFileWriter.
void StopStationRecord();

// The band in use by name ("" when the frequency is in none).
std::string BandNameOf(Works *works);
// What the recorder watches, as it last saw it.
struct StationView {
  std::string band;  // "" outside every band
  int antenna = -1;  // counted from 1
  int bank = -1;
  int operate = -1;  // 1 operate, 0 standby
};
StationView ViewStation(Works *works);
// The events for what changed from before to now; a field still unknown
// (-1) before is no change.
void RecordChanges(const StationView &before, const StationView &now, Works *works,
                   int64_t wallSeconds);
