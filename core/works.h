#pragma once
// The shared state record. One instance lives in main's frame for the whole
// run; every thread gets a pointer to it. Fields written by one thread and
// read by others are atomics; text fields are SharedText; tables that change
// together live under their own lock (tablesMutex, errorMutex, serMut).
#include <cstdint>
#include <mutex>

#include "core/shared.h"

struct FrameBuffer;   // display/fb.h
struct NebParam;      // links/nebparam.h
struct SpectrumPlot;  // ui/plot.h

// The 304-byte setup record (layout in core/setup.h). Its bytes double as
// run and stop flags, so each byte is read and written atomically.
struct Lumosetup {
  At<char> b[304];
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
constexpr int kTuneMemSlots = 5000;
constexpr int kTuneSamples = 64;
constexpr int kErrorCodes = 25;
// armedActions: 1 FW UPDATE armed, 2 REMOTE SERVICE armed, 4 controller being reprogrammed
// (the firmware-update notice), 8 UI UPDATE armed.
constexpr uint8_t kArmedFwNotice = 0x04;

// A value-initialised Works is the record cleared to zero, with the few
// start values that are not zero given below.
struct Works {
  // ---- Core: run state, display handle, setup link and start-up
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
  At<uint8_t> semaforoTuneval{0};
  At<float> tuneSamples[kTuneSamples] = {};
  At<int32_t> tuneFinePasses{0};
  TuneMemEntry tabTuneRam[3][kTuneMemSlots] = {};  // under tablesMutex
  At<int32_t> stepC{0};
  At<int32_t> stepL{0};
  At<int32_t> tuneFine{0};

  // ---- Bands, antennas, banks, thresholds and filters
  // Guards tabTuneRam, tabAntenna/numBands, tabFiltri and tabConfig, which
  // the menu thread edits while the link and refresh threads read them.
  std::recursive_mutex tablesMutex;
  ConfigRow *tabConfig = nullptr;
  At<int32_t> numConfigRows{0};
  At<int32_t> frequency{0};
  At<int32_t> lastFrequency{0};
  At<int32_t> antenna{0};
  At<int32_t> txDetected{0};
  At<int32_t> configRowIdx{-1};
  FilterRow tabFiltri[8] = {};
  TabAntennaRow tabAntenna[11] = {};
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
  SharedText<200> statusText;
  At<int32_t> extIoTimeout{0};

  // ---- Remote operation and audio
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
  std::mutex errorMutex;  // errorList, errorCount and errorFlags change together
  At<uint8_t> errorFlags{0};
  At<int32_t> errorList[kErrorCodes] = {};
  At<int32_t> errorCount{0};
  ErrorDesc errorTable[kErrorCodes] = {};
  At<uint8_t> errorRecovery{0};
  At<uint8_t> statusView{0};
};
