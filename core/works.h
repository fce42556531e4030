#pragma once
// The shared state record. One instance lives in main's frame for the whole
// run; every thread gets a pointer to it. Fields written by one thread and
// read by others are atomics; text fields are SharedText; tables that change
// together live under their own lock (tablesMutex, errorMutex, serMut).
//
// Each group says which thread writes it; main writes anything before the
// threads start. The controller link thread is the one writer of the
// controller's and the tuner's fields: other threads ask it through its
// requests (core/link_requests.h) and show what it publishes (LinkView).
#include <cstdint>
#include <mutex>

#include "core/shared.h"

struct FrameBuffer;   // display/display.h
struct NebParam;      // links/nebparam.h
struct SpectrumPlot;  // links/links.h
class LinkOutbox;     // remote/outbox.h

// The 304-byte setup record (its file keys in core/setup.cpp). Its bytes
// double as run and stop flags, so each byte is read and written atomically.
// Record bytes that other code reads or writes directly.
enum SetupByte : int {
  SB_EnableKeyb = 0,
  SB_EnableSpi = 1,
  SB_EnableTouch = 2,
  SB_DelayedTouch = 3,
  SB_EnableRead = 4,
  SB_EnableWrite = 5,
  SB_EnableCAT = 6,
  SB_enaser = 7,
  SB_EnableLinear = 8,
  SB_EnableTime = 9,
  SB_EnableGPIO = 10,
  SB_WebSocket = 11,
  SB_Pitch = 12,
  SB_Quality = 22,
  SB_AudioIn = 26,
  SB_EnableFFT = 46,
  SB_EnableFFTCopy = 47,
  SB_Enable1600 = 48,
  SB_Divide = 49,
  SB_InChannels = 52,
  SB_AudioCompress = 54,
  SB_Multiplier = 64,
  SB_AudioOut = 67,
  SB_Server = 87,
  SB_CatPort = 103,
  SB_SerPort = 116,
  SB_LinPort = 129,
  SB_NumAntenna = 142,
  SB_CatSerialEnable = 215,
  SB_CatSerialPort = 216,
  SB_AutoTuneTipo = 291,
};

constexpr int kSetupSize = 304;
struct Lumosetup {
  At<char> b[kSetupSize];
};

// One stored tuner match (six bytes in the memory table).
struct TuneMemEntry {
  uint8_t valid;
  uint8_t mode;
  int16_t l;
  int16_t c;
};
static_assert(sizeof(TuneMemEntry) == 6, "tune memory entries are six bytes");

// One band of a bank's band table.
struct TabAntennaRow {
  char name[8];
  uint32_t fmin;
  uint32_t fmax;
  uint8_t ampEnable;
  uint8_t ant;
  uint8_t atuBypass;
  uint8_t att;
  float pwr;
};

// One frequency range of calibration, thresholds and tune presets (21 words).
struct ConfigRow {
  uint32_t fmin;
  uint32_t fmax;
  float kFwd;
  float kRefl;
  float kPwin;
  float kReflFwd;
  float PWIN;
  float Corrente;
  float REFL;
  float FWD;
  int32_t L[5];
  int32_t C[5];
  int32_t step;
};
static_assert(sizeof(ConfigRow) == 84, "a threshold row is 21 words");

// One row of the filter table.
struct FilterRow {
  uint32_t fstart;
  uint32_t fstop;
  int32_t enabled;
};

// One row of the fan table.
struct VentolaRow {
  float temperature;
  int32_t percent;
};

// Descriptor of one error code.
struct ErrorDesc {
  uint8_t flags;
  char line1[30];
  char line2[30];
};

constexpr int kCmdQueueSlots = 30;
constexpr int kBandRows = 11;
constexpr int kFilterRows = 8;
constexpr int kTuneAntennas = 3;  // antennas with a tune memory
constexpr int kTuneMemSlots = 5000;
constexpr int kTuneSamples = 64;
constexpr int kErrorCodes = 26;

// Screen states (screenState): which screen is shown and what the keys do.
enum ScreenState : int {
  SS_MAIN = 0,
  SS_MENU_LIST = 1,
  SS_MENU_VALUE = 2,
  SS_TUNE = 3,
  SS_MANUAL_TUNE = 4,
  SS_DEVICE_ERROR = 5,
  SS_MEMORY_TABLE = 6,
  SS_BAND_EDIT = 7,
  SS_SAVE_TUNE = 8,
  SS_UTILITIES = 9,
  SS_COPY_BANK = 10,
  SS_RESET_BANK = 11,
  SS_FILTER_TABLE = 12,
};

// autoTuneMode bits: the setup's switch and the tune-carrier handshake with
// the NEB transceiver.
constexpr uint8_t kAutoTuneOn = 0x01;           // setup AutoTuneMode
constexpr uint8_t kAutoTuneLoopStarted = 0x02;  // the refresh loop started a tune on transmit
constexpr uint8_t kAutoTuneRxWanted = 0x04;     // the EXT IO link is to send "RX;"
constexpr uint8_t kAutoTuneRxSent = 0x08;
constexpr uint8_t kAutoTuneKeyStarted = 0x10;     // a tune started from the tune key
constexpr uint8_t kAutoTuneCarrierWanted = 0x20;  // the EXT IO link is to send "TU120;TX2;"
constexpr uint8_t kAutoTuneCarrierSent = 0x40;

// tuneCarrierFlags bits: the manual carrier request to the transceiver.
constexpr uint8_t kCarrierPending = 0x01;       // the EXT IO link is to send it
constexpr uint8_t kCarrierTransmit = 0x02;      // 1 transmit a carrier, 0 back to receive
constexpr uint8_t kCarrierAntennaAsked = 0x10;  // antenna input 1 asked of the controller
constexpr uint8_t kCarrierAntennaSet = 0x20;    // and the controller answered

// statusView bits; while any is set the meters, errors and clock are not drawn.
constexpr uint8_t kViewStatus = 0x01;       // status page ("status" image)
constexpr uint8_t kViewStatusB = 0x02;      // second status page ("statusB" image)
constexpr uint8_t kViewFilterTable = 0x04;  // filter table

// uiFlags bits.
constexpr uint8_t kUiKeyBusy = 0x01;        // a key press is being handled
constexpr uint8_t kUiTuneNotStored = 0x02;  // the tune-not-stored notice
constexpr uint8_t kUiUpdateRunning = 0x08;  // UI update running

// armedActions bits: menu actions armed for confirmation.
constexpr uint8_t kArmedFwUpdate = 0x01;       // FW UPDATE
constexpr uint8_t kArmedRemoteService = 0x02;  // REMOTE SERVICE (also keyboard F10)
constexpr uint8_t kArmedFwNotice = 0x04;       // controller being reprogrammed: the notice
constexpr uint8_t kArmedUiUpdate = 0x08;       // UI UPDATE

// A value-initialised Works is the record cleared to zero, with the few
// start values that are not zero given below.
struct Works {
  // ---- Core: run state, display handle, setup link and start-up
  // running: any thread clears it to stop the program. deviceError and its
  // text: a device thread that loses its port sets them; the key thread asks
  // for a retry (-1), the refresh loop then clears them. imageName: the
  // refresh loop. The settings below (setup keys): the key thread (menu,
  // factory reset). autoTuneMode: bit 0 is the setting; the other bits are
  // the tune-carrier handshake, each set by one of the link, the refresh
  // loop and the EXT IO link and cleared by the one that acts on it.
  // lastKeyTime: the key thread. startupDone: the start-up countdown.
  At<int32_t> running{0};
  At<int32_t> deviceError{0};
  SharedText<128> deviceErrorText;
  SharedText<20> version;
  SharedText<32> imageName;
  Lumosetup *setup = nullptr;
  At<uint8_t> autoTuneMode{0};
  At<float> swrEscAutoTune{0};
  At<uint8_t> tempMode{0};
  At<uint8_t> enablePwrPeak{0};
  At<uint8_t> freqSensIn{0};
  At<int32_t> freqPeriodTime{0};
  At<uint8_t> attenuatorTune{0};
  At<uint8_t> viewTimeStr{0};
  At<uint8_t> viewTemp{0};
  At<uint8_t> powerUnits{0};
  At<uint8_t> saveScreenIdx{0};
  At<int32_t> lastKeyTime{0};
  At<double> offsetPlot{0};
  At<int8_t> tuneEnabled{0};
  At<uint8_t> enableDebug{0};
  At<uint8_t> startupDone{0};
  std::mutex setupMutex;      // one writeSetup at a time
  std::mutex setupTextMutex;  // text fields of the setup record copied whole

  // ---- Amplifier controller: link, queue, status values, temperatures, fan
  // The link thread, but: cmdQueue (any thread queues, under cmdQueueMutex;
  // the link takes), tabVentola/numVentola (main), remoteGo (the key thread),
  // and the settings (maxTemperature, maxTemperature2, maxTempAllowed, psPar,
  // gmPar1/2, isteresi1/2, fanCpuPercent, fanCpuTemp, enableLogTemp: the key
  // thread).
  At<uint8_t> eeModel{0};
  At<uint8_t> powerClass{0};
  SharedText<33> eePage0;
  SharedText<33> eePage1;
  SharedText<8> microVersion;
  At<int32_t> linFD{0};
  At<int32_t> cmdQueue[kCmdQueueSlots] = {};
  At<int32_t> cmdQueueOut{0};
  At<int32_t> cmdQueueIn{0};
  std::mutex cmdQueueMutex;  // serialises the queue's writers
  At<uint8_t> cmdPriority{0};
  SharedText<16> errDetail;
  SharedText<16> errCause;
  VentolaRow *tabVentola = nullptr;  // loaded before the threads start
  At<int32_t> numVentola{0};
  At<uint8_t> remoteGo{0};
  At<int32_t> anSel{0};
  At<uint8_t> stErr[3] = {};
  At<float> pwIn{0};
  At<float> pwFwd{0};
  At<float> pwRefl{0};
  At<float> pwFwdPeak{0};
  At<uint16_t> rawPw{0};
  At<uint16_t> rawFwd{0};
  At<uint16_t> rawRefl{0};
  At<float> swr{0};
  At<float> iAdc{0};
  At<float> temp1{0};
  At<float> temp2{0};
  At<int32_t> fanPercent{0};
  At<int32_t> fanPercentReq{0};
  At<int32_t> fanCpuPercent{0};
  At<int32_t> fanCpuTemp{0};
  At<int32_t> fanPercentCpu{0};
  At<int32_t> fanPercentCpuSent{0};
  At<uint8_t> fanAck{0};
  At<int32_t> fanPercentSent{0};
  At<uint8_t> tuState{0};
  At<uint8_t> ampBypass{0};
  At<uint8_t> ampBypassReq{0};
  At<int32_t> freqMeasured{0};
  At<float> maxTemperature{0};
  At<float> maxTemperature2{0};
  At<int32_t> tsPar[4] = {};
  At<int32_t> maxTempAllowed{0};
  At<int32_t> psPar[4] = {};
  At<int32_t> gmPar1{0};
  At<int32_t> gmPar2{0};
  SharedText<11> genSettings;
  At<int32_t> isteresi1{0};
  At<int32_t> isteresi2{0};
  At<uint8_t> cpPending{0};
  At<char> lastCmdChars[2] = {};
  At<int32_t> lastCmdId{0};
  At<int32_t> retryTotal{0};
  At<int32_t> retryCount{0};
  At<int32_t> retryStops{0};
  At<uint8_t> microResetSeen{0};
  At<uint8_t> enableLogTemp{0};
  At<uint8_t> logRemoved{0};
  // Temperature alarms (bit per alarm code) whose protection commands went
  // out while the error list was still muted, so they go out only once.
  At<uint32_t> protMutedAlarms{0};

  // ---- Antenna tuner
  // The link thread, tune memory included (it takes over the tables a bank
  // load reads); autoTuneMaxCicli is a setting (the key thread).
  At<uint8_t> autoTuneState{0};
  At<int32_t> tuneStato{0};
  At<uint8_t> atuBypass{0};
  At<uint8_t> autoTuneMaxCicli{0};
  At<uint32_t> tuneVal{0};
  At<int32_t> tuneC{0};
  At<int32_t> tuneL{0};
  At<float> swrTuneEnd{0};
  At<uint8_t> tuneMode{0};
  At<uint8_t> attenuator{0};
  At<uint8_t> attenuatorSel{0};
  At<int32_t> tuneSampling{0};
  At<int32_t> tuneSampleCnt{0};
  At<float> tuneSamples[kTuneSamples] = {};
  At<int32_t> tuneFinePasses{0};
  TuneMemEntry tabTuneRam[kTuneAntennas][kTuneMemSlots] = {};  // under tablesMutex
  // Bank whose memory each antenna's table holds (-1 before the first load).
  At<int32_t> tuneMemBank[kTuneAntennas] = {-1, -1, -1};
  At<int32_t> stepC{0};
  At<int32_t> stepL{0};
  At<int32_t> tuneFine{0};

  // ---- Bands, antennas, banks, thresholds and filters
  // frequency, lastFrequency, txDetected and bandIdx: the refresh loop (a
  // bank load sets bandIdx to -1 to have the band evaluated again).
  // antenna and configRowIdx: the link thread. The tables and the bank
  // (tabAntenna, numBands, modeWorkIdx, numBanco, maxBank, tabFiltri): the
  // key thread, or the remote link when the peer changes the bank; tabConfig
  // only at start. The selections on the table screens: the key thread.
  // filterRelay: whoever selects the filter (the refresh loop on a new
  // frequency, the key thread after a filter edit).
  //
  // Guards tabTuneRam, tabAntenna/numBands, tabFiltri and tabConfig, which
  // the key thread and the link change while the others read them.
  std::recursive_mutex tablesMutex;
  ConfigRow *tabConfig = nullptr;
  At<int32_t> numConfigRows{0};
  At<int32_t> frequency{0};
  At<int32_t> lastFrequency{0};
  At<int32_t> antenna{0};
  At<int32_t> txDetected{0};
  At<int32_t> configRowIdx{-1};
  FilterRow tabFiltri[kFilterRows] = {};
  TabAntennaRow tabAntenna[kBandRows] = {};
  At<int32_t> numBands{0};
  At<int32_t> tabAntennaRowSel{0};
  At<int32_t> tabAntennaColSel{-1};
  At<int32_t> filterRowSel{0};
  At<uint8_t> filterRelay{0};
  At<int32_t> modeWorkIdx{-1};
  At<int32_t> numBanco{0};
  At<int32_t> maxBank{0};
  At<int32_t> bandIdx{-1};

  // ---- Transceiver links and spectrum input
  // Each link its own descriptor and readings (catFD the CAT link, serFD
  // and statusText the EXT IO link and the remote link, catFrequency and
  // catMode the FT-817 reader). tuneCarrierFlags: a handshake, the key
  // thread asks (bits 0, 1, 4), the EXT IO link clears bit 0 once sent, the
  // link sets bit 5 when the controller answered. tuneCarrierHold: the EXT
  // IO link sets it, the refresh loop counts it down; extIoTimeout likewise,
  // set by the link or the EXT IO link when it reports a time-out. divide:
  // the setup, then the remote link.
  At<int32_t> catFD{0};
  // Taken by whoever writes the CAT port from another thread (the remote
  // link) and by whoever closes it, so no write reaches a closed or reused
  // descriptor.
  std::mutex catPortMutex;
  At<int32_t> serFD{0};
  // Writers of the EXT IO port (carrier commands, bytes from the remote
  // peer): one whole write at a time, so no command is split.
  std::mutex serWriteMutex;
  NebParam *nebParam = nullptr;
  std::mutex *serMut = nullptr;
  At<int32_t> divide{0};
  At<uint8_t> tuneCarrierFlags{0};
  At<int32_t> tuneCarrierHold{0};
  At<int32_t> catFrequency{0};
  At<uint8_t> catMode{0};
  // The Hamlib reader's run flag (the mode of work sets and clears it) and
  // the frequency it last read.
  At<uint8_t> rigRun{0};
  At<int32_t> rigFrequency{0};
  SharedText<200> statusText;
  At<int32_t> extIoTimeout{0};

  // ---- Remote operation and audio
  // The remote link and the audio threads; catClosed is their common stop
  // mark (any of them, the key thread's menu and error recovery).
  SharedText<64> serverHost;
  At<uint16_t> tcpPort{0};
  At<int32_t> remoteSock{-1};
  At<int32_t> remoteConnected{0};
  SharedText<128> remotePassword;  // up to 125 characters (one text frame)
  At<int32_t> jpegQuality{0};
  At<int32_t> captureChannels{0};
  At<int32_t> audioFrames{0};
  At<int32_t> audioFormat{0};
  At<int32_t> audioRate{0};
  void *playbackPcm = nullptr;
  void *capturePcm = nullptr;
  uint8_t *playbackBuffer = nullptr;
  std::mutex *remoteMutex = nullptr;
  std::mutex *sendMutex = nullptr;
  // Frames for the peer: the writers queue them, the link thread sends them.
  LinkOutbox *remoteOutbox = nullptr;
  void *opusEncoder = nullptr;
  void *opusDecoder = nullptr;
  At<int32_t> audioCompress{0};
  At<int32_t> playbackReady{0};
  // Held by the link thread while it plays a received frame and by the
  // playback thread while it prepares, drains or closes the device, so the
  // device and playbackBuffer never go away under a write.
  std::mutex playbackMutex;
  At<int32_t> catClosed{0};
  At<int32_t> audioBuffers{0};

  // ---- Display and input devices
  FrameBuffer *fb = nullptr;

  // ---- User interface
  // Needles, peaks, temperatures and clock: the refresh loop. Screens, menu
  // and key state (screenState, menuIdx, manualTune, save and copy targets,
  // uiFlags, armedActions, statusView in Errors): the key thread (F10 of the
  // keyboard arms the remote service too); the refresh
  // loop shows and leaves the device-error screen, and the link goes to the
  // main screen and raises the firmware notice when it sends "MR1;". The
  // front-panel mailbox and readings (panel*): the front-panel link.
  At<uint8_t> reloadBackground{0};
  At<float> needleFwd{0};
  At<float> needleRight{0};
  At<float> needlePeakFwd{0};
  At<float> needlePeakRight{0};
  At<int32_t> refreshUs{60000};
  At<int32_t> meterView{1};
  At<int32_t> screenState{0};
  At<int32_t> menuCount{0};
  At<int32_t> menuIdx{0};
  At<int32_t> menuItemIdx{0};
  At<int32_t> plotSpan{160000};
  At<uint8_t> manualTune{0};
  At<int32_t> peakHoldFwd{0};
  At<float> peakFwd{0};
  At<int32_t> peakDecCntFwd{0};
  At<int32_t> peakHoldRight{0};
  At<float> peakRight{0};
  At<int32_t> peakDecCntRight{0};
  At<float> cpuTemp{0};
  At<float> gpuTemp{0};
  SharedText<80> dateTimeText;
  SpectrumPlot *spectrumPlot = nullptr;
  At<uint8_t> screenSaverOn{0};
  At<uint8_t> factoryArmed{0};
  At<uint8_t> panelCmdOut{0};
  At<uint8_t> panelCmd{0};
  At<int8_t> panelPollIdx{0};
  At<int32_t> panelPollWait{0};
  At<uint8_t> panelVersion{0};
  At<uint8_t> panelV12Adc{0};
  At<uint8_t> panelV15Adc{0};
  At<uint8_t> panelVampAdc{0};
  At<uint8_t> armedActions{0};  // kArmed* bits
  At<int32_t> saveBank{0};
  At<int32_t> saveAnt{0};
  At<int32_t> copyOrigin{0};
  At<int32_t> copyDest{0};
  At<int32_t> resetBank{0};
  At<uint8_t> uiFlags{0};
  At<double> logTempElapsed{0};
  At<uint8_t> filterView{0};
  SharedText<64> lanStatusText;
  At<uint8_t> uiUpdateAvail{0};
  At<uint8_t> gpioRunning{0};  // 1 while the front-panel thread empties the mailbox
  // Pacing of the refresh loop's readings: "my_temp" runs at most once a
  // second (and never again once it is missing), the date text once a second.
  At<int64_t> cpuTempNextMs{0};
  At<uint8_t> cpuTempMissing{0};
  At<int64_t> dateTimeSecond{-1};

  // ---- Errors and warnings
  // The list: any thread, under errorMutex. errorRecovery: the link thread.
  std::mutex errorMutex;  // errorList, errorCount and errorFlags change together
  At<uint8_t> errorFlags{0};
  At<int32_t> errorList[kErrorCodes] = {};
  At<int32_t> errorCount{0};
  ErrorDesc errorTable[kErrorCodes] = {};
  At<uint8_t> errorRecovery{0};
  At<uint8_t> statusView{0};
};

// Atomic access to one byte of the setup record (0 without a record or
// outside it; the last byte stays the record's NUL).
char SetupChar(const Works *works, int index);
void SetSetupChar(Works *works, int index, char value);

// Row of tabConfig that holds freq (rows 0 .. numConfigRows-2), -1 if none;
// under tablesMutex. The thresholds and the tuner's presets both use it.
int SearchConfigRow(Works *works, uint32_t freq);
