// OMBRIX: the control program of the amplifier. main builds the shared record,
// loads the configuration, starts one thread per enabled device or link and
// waits until one of them clears works.running.
#include <opus/opus.h>
#include <signal.h>
#include <syslog.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "config/config.h"
#include "controller/link.h"
#include "controller/temperature.h"
#include "core/file_writer.h"
#include "core/process_globals.h"
#include "core/setup.h"
#include "core/start_values.h"
#include "core/station_record.h"
#include "core/threads.h"
#include "display/display.h"
#include "display/keyboard.h"
#include "links/links.h"
#include "links/rigctl.h"
#include "network/lan.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "remote/audio.h"
#include "remote/outbox.h"
#include "remote/remote.h"
#include "ui/plot.h"
#include "ui/ui.h"
#include "web/set_restore.h"
#include "web/web_server.h"

// git describe of the build, written at build time by cmake/version.cmake.
extern const char kBuildVersion[];

namespace {

Works *gWorks = nullptr;

// SIGINT and SIGTERM stop the program the way any thread does: by clearing
// works.running, so every thread ends and is joined.
void onStopSignal(int) {
  if (gWorks != nullptr) gWorks->running.store(0);
}

void sleepSeconds(int s) {
  std::this_thread::sleep_for(std::chrono::seconds(s));
}

const char kVersion[] = "00.061";

struct FontSlot {
  int slot;
  const char *file;
  int size;
};
const FontSlot kFonts[] = {
    {0, "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf", 24},
    {1, "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 22},
    {2, "/opt/fonts/PTS55F_W.ttf", 22},
    {4, "/opt/fonts/PTS75F_W.ttf", 24},
    {5, "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 8},
    {6, "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 14},
    {7, "/usr/share/fonts/truetype/dejavu/DejaVuSans-Oblique.ttf", 24},
    {8, "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 20},
    {9, "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 30},
    {10, "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 18},
    {11, "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf", 21},
};

void setupOpus(Works *works) {
  if (works->audioCompress <= 0) return;
  int err = 0;
  OpusEncoder *enc = opus_encoder_create(works->audioRate, 2, OPUS_APPLICATION_AUDIO, &err);
  if (err != OPUS_OK || enc == nullptr) {
    LogErr("failed to create an encoder: %s", opus_strerror(err));
    works->audioCompress = 0;
    enc = nullptr;
  }
  if (enc != nullptr) {
    err = opus_encoder_ctl(enc, OPUS_SET_BITRATE(works->audioCompress.load()));
    if (err < 0) {
      LogErr("failed to set bitrate: %s", opus_strerror(err));
      opus_encoder_destroy(enc);
      enc = nullptr;
      works->audioCompress = 0;
    }
  }
  works->opusEncoder = enc;
  if (enc == nullptr) return;
  OpusDecoder *dec = opus_decoder_create(works->audioRate, 2, &err);
  if (err != OPUS_OK || dec == nullptr) {
    LogErr("failed to create decoder: %s", opus_strerror(err));
    works->audioCompress = 0;
    dec = nullptr;
  }
  works->opusDecoder = dec;
}

void closeOpus(Works *works) {
  if (works->opusEncoder != nullptr)
    opus_encoder_destroy(static_cast<OpusEncoder *>(works->opusEncoder));
  if (works->opusDecoder != nullptr)
    opus_decoder_destroy(static_cast<OpusDecoder *>(works->opusDecoder));
  works->opusEncoder = nullptr;
  works->opusDecoder = nullptr;
}

void showImage(Works *works, const char *name) {
  works->imageName.set(name);
  getPng(works, 1);
  fbSetBack(works->fb);
  fbRealize(works->fb);
}

// The start-up countdown screen.
void *LoadThread(void *arg) {
  Works *works = static_cast<Works *>(arg);
  int n = waitNEB;
  bool posted = false;
  while (startInitThread) {
    fbSetBack(works->fb);
    sleepSeconds(1);
    char text[32];
    snprintf(text, sizeof text, "Loading ...%2d", n);
    if (n <= 4 && !posted) {
      PostPanelCmd(works, 181);
      posted = true;
    }
    putString(9, 300, 400, text, 255, 255, 255, works->fb);
    --n;
    fbRealize(works->fb);
    LogStderr("Time %s..\n", text);
  }
  PostPanelCmd(works, 181);
  works->startupDone = 1;
  return nullptr;
}

// Half a minute after start, the firmware-update marker goes.
void *AggFWThread(void *arg) {
  Works *works = static_cast<Works *>(arg);
  for (int i = 0; i < 30 && works->running; ++i) sleepSeconds(1);
  if (!works->running) return nullptr;
  if (!RemountRW()) return nullptr;
  if (RemoveFile("/opt/good") != 0 && errno != ENOENT) {
    LogErr("can't :rm -f /opt/good >/dev/null 2>&1  ->error %d", errno);
    RemountRO();  // /opt/set must not stay writable
    return nullptr;
  }
  RemountRO();
  LogStderr("--------- END THREAD AGG FW!!!\n");
  return nullptr;
}

void closeProgram(Works *works) {
  LogStderr("Close..\n");
  // The refresh loop may be in its last pass: it ends before the closing
  // screen is drawn, so the two never draw into the buffers at once.
  const bool timeJoined = JoinThread(TH_TIME);
  showImage(works, "start");
  fbSetBack(works->fb);
  putString(9, 330, 400, "Error! Close Program! Restart hw.", 255, 255, 255, works->fb);
  fbRealize(works->fb);
  sleepSeconds(2);
  LogInfo("Communicator operations end");

  struct {
    int flagByte;
    ThreadSlot slot;
    const char *line;
  } const joins[] = {
      {SB_EnableKeyb, TH_KEY, "Communicator joined Key end"},
      {SB_EnableFFT, TH_FFT, "Communicator joined FFT end"},
      {SB_EnableRead, TH_LEGGI, "Communicator joined Touch end"},
      {SB_EnableWrite, TH_SCRIVI, "Communicator joined Spi end"},
      {SB_WebSocket, TH_WSOCK, "Communicator joined Wsocket end"},
      {SB_EnableCAT, TH_CAT, "Communicator joined Cat end"},
      {SB_CatSerialEnable, TH_CATSER, "Communicator joined CatSerial end"},
      {SB_enaser, TH_SER, "Communicator joined Serial end"},
      {SB_EnableLinear, TH_LIN, "Communicator joined Linear end"},
      {SB_EnableTime, TH_TIME, "Communicator joined Time end"},
      {SB_EnableGPIO, TH_GPIO, "Communicator joined GPIO end"},
  };
  for (const auto &j : joins) {
    char flag = SetupChar(works, j.flagByte);
    bool enabled = j.slot == TH_WSOCK ? (flag == '1' || flag == '2') : flag == '1';
    bool joined = j.slot == TH_TIME ? timeJoined : JoinThread(j.slot);
    if (joined && enabled) LogInfo("%s", j.line);
  }
  // Threads whose flag was cleared while they ran (remote stop, mode of
  // work change) have ended by themselves; reap them too.
  for (int s = 0; s < TH_COUNT; ++s) JoinThread(static_cast<ThreadSlot>(s));
  StopStationRecord();
  // Every thread that writes files has ended: what they queued goes to the
  // card before the program lets go of anything.
  StopFileWriter();
  if (works->audioCompress > 0) closeOpus(works);
  LogStderr("Closed!\n");
}

// The threads that keys, menus, recovery and the remote link start again
// while the program runs.
void fillThreadBodies() {
  ThreadBodies bodies;
  bodies.linear = Linear;
  bodies.extIo = Serial;
  bodies.catSerial = CatSerial;
  bodies.rig = RigctlReader;
  bodies.cat = Cat;
  bodies.spectrum = NEBRead;
  bodies.audioIn = th_leggi;
  bodies.audioOut = th_scrivi;
  bodies.wsServer = Wsocket;
  bodies.wsClient = Wclient;
  SetThreadBodies(bodies);
}

void catchStopSignals(Works *works) {
  gWorks = works;
  struct sigaction sa = {};
  sa.sa_handler = onStopSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

void loadFonts() {
  for (const FontSlot &f : kFonts) {
    // The system fonts are the PC's own; only the device's /opt is mapped.
    std::string path = strncmp(f.file, "/opt/", 5) == 0 ? MapPath(f.file) : std::string(f.file);
    TTFLoad(path.c_str(), f.size, f.slot);
  }
}

// The start screen and its countdown while the controller link comes up.
void startupCountdown(Works *works) {
  waitNEB = 10;
  works->lastKeyTime = static_cast<int32_t>(time(nullptr));
  showImage(works, works->powerClass == '1' ? "start120" : "start");

  startInitThread = 1;
  StartThread(TH_INIT, LoadThread, works);
  sleepSeconds(waitNEB + 1);
  startInitThread = 0;
  // The countdown may be in the middle of a frame; let it finish before the
  // main screen is drawn, so the two never draw into the buffers at once.
  for (int i = 0; i < 300 && !works->startupDone; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// Remote operation left switched on: its threads start afresh.
void restartRemote(Works *works) {
  if (SetupChar(works, SB_EnableWrite) == '1' || SetupChar(works, SB_EnableRead) == '1' ||
      SetupChar(works, SB_EnableCAT) == '1' || SetupChar(works, SB_EnableFFT) == '1') {
    ExitThreadRemote(works);
    sleepSeconds(2);
    StartThreadCommRemote(works);
    sleepSeconds(2);
    works->remoteGo = 1;
  }
}

}  // namespace

int main(int, char **argv) {
  LogStderr("START Main ----------------------------------------------------------------\n");
  LogStderr("OMBRIX version %s\n", kVersion);
  syslog(LOG_INFO, "OMBRIX version %s", kVersion);
  LogStderr("OMBRIX build %s\n", kBuildVersion);
  syslog(LOG_INFO, "OMBRIX build %s", kBuildVersion);

  FrameBuffer *fb = fbInit();

  // The record and everything it points to live in main's frame for the whole run.
  static Works works;
  static Lumosetup setup;
  static NebParam nebParam;
  static std::mutex serMut, remoteMutex, sendMutex;
  static LinkOutbox remoteOutbox;
  static SpectrumPlot spectrumPlot;
  static int32_t plotA[1024], plotB[1024];

  works.version.set(kVersion);
  works.fb = fb;
  ClearCmdQueue(&works);
  works.microResetSeen = 0;
  works.startupDone = 0;
  works.setup = &setup;
  works.remoteMutex = &remoteMutex;
  works.sendMutex = &sendMutex;
  works.remoteOutbox = &remoteOutbox;
  works.serMut = &serMut;
  works.nebParam = &nebParam;

  // Before anything reads /opt/set: a restore cut short by a power cut is
  // finished or undone.
  FinishSetFileReplacement();
  fillThreadBodies();
  catchStopSignals(&works);
  // Files under /opt/set are written by their own thread from here on; the
  // transceiver links hand what is for the peer to the remote link's writers.
  StartFileWriter();
  RegisterRemoteOutbound();
  // The event log, from here until the files are closed.
  OpenStationRecord(&works);

  InitGlobalVar(&works);
  StepTune1 = 8;
  CntIP = CntDNS = CntNetMask = CntGateway = 3;

  ReadConfigFile(&works);
  InitMicroCmd(&works);
  ReadVentolaFile(&works);
  LoadTabFiltri(&works);
  readSetup(&works);
  LoadAllBankTable(&works, works.numBanco);
  works.bandIdx = -1;
  // Band, bank and readings watched from their loaded values on.
  StartStationRecord(&works);
  LogStderr("ModeWorkIdx %i \n", works.modeWorkIdx.load());

  works.spectrumPlot = &spectrumPlot;
  memset(spectrumPlot.header, 0, sizeof spectrumPlot.header);
  spectrumPlot.plotA = plotA;
  spectrumPlot.plotB = plotB;
  ReadLanParam();

  loadFonts();

  if (SetupChar(&works, SB_EnableGPIO) == '1') StartThread(TH_GPIO, GPIO, &works);
  StartWebPanel(&works);
  sleepSeconds(1);
  PostPanelCmd(&works, 197);
  StartThreadLinear(&works);
  sleepSeconds(1);

  startupCountdown(&works);

  StartThread(TH_DEBUG, LANInfoThread, &works);
  StartThread(TH_AGGFW, AggFWThread, &works);

  showImage(&works, "statusB");
  InitMenuLumo(&works);
  LoadButtons(&works, nullptr);

  NebParam param;
  getParameters(&param, &works);
  works.frequency = param.freq;

  setupOpus(&works);

  if (SetupChar(&works, SB_EnableKeyb) == '1') StartThread(TH_KEY, keyb, &works);
  StartThreadSoket(&works);
  StartThreadNEB(&works);

  restartRemote(&works);

  StartThreadCATserial(&works);
  if (SetupChar(&works, SB_EnableTime) == '1') StartThread(TH_TIME, timer, &works);

  while (works.running) sleepSeconds(1);

  closeProgram(&works);
  // A restore: the same process starts again on the restored files.
  if (RestartRequested()) ReExecSelf(argv);
  return 0;
}
