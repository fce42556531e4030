#pragma once
// Transceiver links: EXT IO serial link, FT-817 reader, CAT link, USB spectrum.
//
// The thread bodies are thin loops around pure pieces (record framing,
// parameter and spectrum decoding, the FT-817 answer, CAT message
// collection, the FFT) that tests and fuzzers call directly.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/shared.h"
#include "core/works.h"
#include "links/nebparam.h"

void *Serial(void *works);     // EXT IO link thread
void *CatSerial(void *works);  // FT-817 frequency reader thread
void *Cat(void *works);        // CAT link thread
void *NEBRead(void *works);    // USB spectrum reader thread
// Copies the parameter record under serMut.
void getParameters(NebParam *destination, Works *works);

// ---- The spectrum the EXT IO link fills and the plot draws.

constexpr int kSpectrumLevels = 854;

// The spectrum plot record; main owns it and its two arrays.
struct SpectrumPlot {
  int32_t header[5];              // cleared at start-up
  int32_t *plotA;                 // 1024 entries owned by main
  int32_t *plotB;                 // 1024 entries owned by main
  float levels[kSpectrumLevels];  // dB, written under serMut
};

// ---- Port helpers shared by the link threads ------------------------------

// Waits up to timeoutMs for bytes: 1 when there are some (or the port hung
// up and a read will tell), 0 on time-out, -1 when the port is unusable.
int WaitReadable(int fd, int timeoutMs);
// Writes all n bytes, repeating partial writes; n, or -1 on an error.
int WriteAll(int fd, const void *data, int n);
// Sleeps ms while works->running is set and the setup byte is '1'; false
// as soon as one of them asks the thread to stop.
bool PauseWhile(Works *works, int setupByte, int ms);
// Opens and configures the EXT IO port: the descriptor, -1 when it cannot be
// opened, -2 when its settings fail.
int OpenExtIoPort(const std::string &path);

// ---- EXT IO link ----------------------------------------------------------

constexpr int kExtIoBodyMax = 2000;       // body buffer; longer lengths are clamped to 1999
constexpr int kExtIoSpectrumFirst = 85;   // first displayed bin of a spectrum body
constexpr int kExtIoForwardBytes = 1024;  // the rotated copy sent to the remote peer

// Record framing, fed one byte at a time: a type byte below 15, the command
// character, four length nibbles (least significant first), then the body.
enum ExtIoEvent : int {
  EXTIO_NONE = 0,    // nothing complete yet
  EXTIO_SPECTRUM,    // type 0, command '0': body complete
  EXTIO_PARAMETERS,  // type 1, command '1': body complete
  EXTIO_SKIPPED,     // type 0 or 1 with another command: the body is not read
  EXTIO_BADTYPE,     // a type of 2..14 ("Error3")
};
enum ExtIoState : int { EXTIO_WAIT = 0, EXTIO_HEADER = 1, EXTIO_BODY = 2 };
struct ExtIoFramer {
  int state = EXTIO_WAIT;
  uint8_t type = 0;
  char command = 0;
  uint8_t header[5] = {};
  int length = 0;
  int have = 0;
  uint8_t body[kExtIoBodyMax] = {};
};
// Bytes the framer needs before its next possible event (1 while waiting,
// the rest of the header, the rest of the body).
int ExtIoNeed(const ExtIoFramer *framer);
// Feeds one byte; returns the event it completes. A record's body stays in
// framer->body (zero-filled beyond its length) until the next byte is fed.
ExtIoEvent ExtIoPush(Works *works, ExtIoFramer *framer, uint8_t byte);

// Reads the command character and the four length bytes of a header
// (header[0] the command, header[1..4] the nibbles); returns the body length,
// 1999 when the sent length is 2000 or more.
int decodeCmdParameters(Works *works, const uint8_t *header, char *commandChar, int *length);
// Decodes a parameter body into works->nebParam under serMut. Returns 0, or
// -1 when nothing was stored (no record, or a body too short for the frequency).
int storeParameters(Works *works, int length, const uint8_t *body);
// Converts a spectrum body into the 854 levels of the spectrum plot under serMut.
int storeFFT(Works *works, int length, const uint8_t *body);
// The rotated copy of a spectrum body that goes to the remote peer: out gets
// kExtIoForwardBytes bytes; returns how many of them to send (length - 170,
// within 0..1024). body must hold kExtIoBodyMax bytes.
int ExtIoRotateSpectrum(const uint8_t *body, int length, const NebParam &param, uint8_t *out);
// Writes the carrier commands the other threads asked for ("RX;",
// "TU120;TX2;") to fd, clearing the request bits.
void ExtIoCarrierCommands(Works *works, int fd);
// The time-out report of the EXT IO link (place 1, 2 or 3): error 8 in NEB
// mode, at most once while works->extIoTimeout runs down.
void ExtIoTimeoutReport(Works *works, int place);

// The next parameter record zeroes the record again, as after start.
void ResetParameterRecordStart();
// Reads exactly n bytes from serFD; -1 when the thread must stop or the port
// is gone.
int readSerialPort(Works *works, uint8_t *buffer, int n);
// Writes exactly n bytes, repeating partial writes; -1 on a write error.
int writeSerialPort(int fd, const void *data, int n, Works *works);

// ---- FT-817 frequency reader --------------------------------------------

extern At<int> catProcessStatus;  // 3 send, 2 receive, 1 decode
extern At<int> lastCommandSent;   // opcode awaiting its answer, 0 = none
extern At<int> counterimeoutCAT;  // idle milliseconds while waiting for an answer

bool VerifyByteFreq(uint8_t byte);
void DecodeCatSerialCmd(Works *works, const uint8_t *answer, int n);
int writeSerialCatPort(int fd, const void *data, int n, Works *works);

// ---- CAT link -------------------------------------------------------------

extern At<int> status_cat;  // 1 once the CAT thread found and opened its port

constexpr int kCatMessageMax = 200;
// Collects CAT messages up to and including ';'. A message of 200 bytes
// without ';' is dropped and collecting starts again.
struct CatCollector {
  char text[kCatMessageMax + 1] = {};
  int have = 0;
};
// Feeds one byte; returns the length of the completed message (its text in
// collector->text, ';' included and NUL-terminated) or 0.
int CatCollect(CatCollector *collector, uint8_t byte);

int VerifyCAT(Works *works);
void ExitCAT(Works *works);
int Find_Remote_Settings(Works *works);

// ---- USB spectrum reader --------------------------------------------------

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;
struct libusb_device_descriptor;
struct libusb_transfer;

// The libusb calls the reader makes, so tests can stand in for the device.
struct UsbOps {
  int (*init)(libusb_context **ctx);
  void (*exit)(libusb_context *ctx);
  void (*setDebug)(libusb_context *ctx, int level);
  long (*getDeviceList)(libusb_context *ctx, libusb_device ***list);
  void (*freeDeviceList)(libusb_device **list, int unrefDevices);
  int (*getDeviceDescriptor)(libusb_device *dev, libusb_device_descriptor *desc);
  int (*open)(libusb_device *dev, libusb_device_handle **handle);
  void (*close)(libusb_device_handle *handle);
  int (*kernelDriverActive)(libusb_device_handle *handle, int interface);
  int (*detachKernelDriver)(libusb_device_handle *handle, int interface);
  int (*claimInterface)(libusb_device_handle *handle, int interface);
  int (*releaseInterface)(libusb_device_handle *handle, int interface);
  int (*controlTransfer)(libusb_device_handle *handle, uint8_t requestType, uint8_t request,
                         uint16_t value, uint16_t index, unsigned char *data, uint16_t length,
                         unsigned int timeout);
  libusb_transfer *(*allocTransfer)(int isoPackets);
  void (*freeTransfer)(libusb_transfer *transfer);
  int (*submitTransfer)(libusb_transfer *transfer);
  int (*cancelTransfer)(libusb_transfer *transfer);
  int (*handleEvents)(libusb_context *ctx, int timeoutMs);
};
// The real libusb.
const UsbOps &LibUsbOps();
// Replaces the calls the reader and Find_Remote_Settings make (nullptr: the real ones).
void SetUsbOps(const UsbOps *ops);
const UsbOps &CurrentUsbOps();
// The receiver's USB ids, build-time settings.
uint16_t NebUsbVendor();
uint16_t NebUsbProduct();

constexpr int kUsbTransfers = 4;
constexpr int kUsbTransferBytes = 32768;
constexpr int kUsbSamples = kUsbTransferBytes / 4;  // 8192 floats: 4096 I/Q pairs

// What each bulk transfer carries to its completion callback.
struct NebTransferData {
  int index = 0;
  libusb_transfer *transfer = nullptr;
  float *samples = nullptr;  // kUsbSamples floats
  Works *works = nullptr;
  int count = kUsbSamples;
  At<int32_t> *divide = nullptr;  // works->divide
  At<int> *stop = nullptr;        // set when the transfers must not be resubmitted
  At<int> *inFlight = nullptr;    // transfers submitted and not yet completed
  // Where a computed spectrum goes; fftCalc unless a test replaces it.
  void (*spectrum)(const float *samples, int count, Works *works) = nullptr;
};

extern At<int> status_usb_open;
extern At<int> err_counter;
extern At<int> divide;  // countdown to the next spectrum, starts at 1
extern float globalOffset, lpOffset, attOffset, recalc;

void cb_in(libusb_transfer *transfer);
void fftCalc(const float *samples, int count, Works *works);
void ExitNebread(Works *works);

// The FFT of fftCalc in its steps, over work buffers that live as long as
// the reader (tests make their own).
struct FftWork {
  double *fftr = nullptr, *ffti = nullptr;          // 4096 each
  double *co = nullptr, *si = nullptr;              // 2048 each
  double *coeff = nullptr;                          // 4096
  uint8_t *fftout = nullptr, *fftoutdec = nullptr;  // 4096 each
  int tablesFor = 0;                                // M the window and twiddles were made for
};
constexpr int kFftMaxPoints = 4096;
// Allocates the buffers once; false (with the log line) when that fails.
bool FftAllocate(FftWork *work);
void FftFree(FftWork *work);
// Rebuilds window and twiddles when M changed.
void FftTables(FftWork *work, int m);
// Windowed samples into fftr/ffti.
void FftWindow(FftWork *work, const float *samples, int m);
// In-place radix-2 decimation-in-frequency FFT and bit reversal.
void FftTransform(FftWork *work, int m);
// dB bytes (level + 192) of the transformed points, negative frequencies first, into fftout.
void FftLevels(FftWork *work, int m);
// Whole spectrum: M from count and enable1600, the selected bytes into
// fftoutdec; returns their number (854 or 1706), or -1.
int FftSpectrum(FftWork *work, const float *samples, int count, bool enable1600);

// The USB spectrum's countdown stops at 0 while the decimation (works->divide)
// is 0 or less; when the decimation becomes positive again it starts anew.
void RestartSpectrumCountdown();
