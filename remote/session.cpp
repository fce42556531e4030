// Remote operation's threads: started together when remote operation is
// switched on, told to stop together when it is switched off.
#include <chrono>
#include <thread>

#include "core/setup.h"
#include "core/threads.h"
#include "errors/errors.h"
#include "platform/log.h"
#include "remote/remote.h"

void StartThreadCommRemote(Works *works) {
  works->catClosed = 0;
  struct {
    int byte;
    void (*start)(Works *);
  } const flags[] = {{SB_EnableWrite, StartThreadAudioWrite},
                     {SB_EnableRead, StartThreadAudioRead},
                     {SB_EnableCAT, StartThreadCAT},
                     {SB_EnableFFT, StartNebReadFFT}};
  for (const auto &f : flags) {
    if (SetupChar(works, f.byte) != '0') continue;  // already running
    SetSetupChar(works, f.byte, '1');
    f.start(works);
  }
  writeSetup(works);
  PostPanelCmd(works, 149);
}

void ExitThreadRemote(Works *works) {
  SetSetupChar(works, SB_EnableWrite, '0');
  SetSetupChar(works, SB_EnableRead, '0');
  SetSetupChar(works, SB_EnableCAT, '0');
  SetSetupChar(works, SB_EnableFFT, '0');
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  DeleteErrore(works, ERR_AUDIO_READ);
  DeleteErrore(works, ERR_AUDIO_WRITE);
  DeleteErrore(works, ERR_REMOTE_USB);
  DeleteErrore(works, ERR_REMOTE_CAT);
  writeSetup(works);
  PostPanelCmd(works, 165);
  LogStderr(">>>>>>>>>>>>>>>>>>>>>>>>> REMOTE STOP \n");
}
