#pragma once
// Requests to the controller link, the one writer of the controller's and
// the tuner's fields of Works, and the view of those fields it publishes.
//
// A thread that wants one of those fields changed posts a typed request. The
// link takes the requests whenever it wakes: while it waits for a reply, in
// its pauses, and after each reply before it chooses the next command. The
// poster waits until its request has been applied, so what it does next
// (saving the band row, drawing a label) sees the change. Controller
// commands still go on the command ring from any thread, apart from these
// requests, so what goes on the wire and when stays as it was.
//
// Without a link thread for the record (before it starts, with the
// controller switched off, in tests and tools) the poster applies the
// request itself, one poster at a time: for that moment it is the owner.
#include <cstdint>
#include <memory>

#include "core/works.h"

enum LinkRequestKind : int {
  LR_START_VALUES,      // a: 1 keeps what the controller and the relays report (factory reset)
  LR_MANUAL_STEP,       // manual tune: a 1 inductance / 0 capacitance, b the step (+1, -1)
  LR_NETWORK_NEXT,      // manual tune: the next network mode
  LR_TUNER_BYPASS,      // a: 1 tuner bypassed, 0 in line (its word recalled)
  LR_ATTENUATOR,        // a: attenuator selection 0..3, 4 StBy (amplifier bypassed)
  LR_ANTENNA,           // a: antenna 0..2
  LR_AN_INPUT,          // a: the digit "AN" sends
  LR_BAND_ROW,          // the band row entered: a antenna 1..3 (0 none), b tuner bypass,
                        // c amplifier enabled, d attenuator
  LR_TUNE_KEY,          // the tune key: a the fine flag it sets
  LR_TUNE_START,        // the refresh loop starts a tune on transmit
  LR_TUNE_ABORT,        // the refresh loop gives a tune up (no carrier)
  LR_TUNE_FINE,         // a: tuneFine (0 when the frequency or the screen changes)
  LR_THRESHOLDS,        // the thresholds of the frequency's row of config.txt
  LR_PROTECTION_RESET,  // the reset commands of error recovery; a: 1 sent with priority
  LR_TUNE_MEMORY,       // a: bank, b: antenna 0..2, memory: its table read from the file
};

struct LinkRequest {
  int kind = 0;
  int a = 0, b = 0, c = 0, d = 0;
  std::shared_ptr<const TuneMemEntry[]> memory;  // LR_TUNE_MEMORY, kTuneMemSlots entries
};

// What the link does with a request. The queue lives here, below every
// thread that posts; the handling is the link's own (controller/requests.cpp).
void ApplyLinkRequest(Works *works, const LinkRequest &request);

// Hands a request to the link of works and waits (at most kLinkRequestWaitMs)
// until it is applied; applies it at once without a link thread, or on the
// link thread itself. False when it was not applied in time (it stays queued).
constexpr int kLinkRequestWaitMs = 2000;
bool PostLinkRequest(Works *works, const LinkRequest &request);

// ---- The link's side.

// The calling thread becomes the link of works: requests are queued for it
// from now on. Returns the descriptor that turns readable when one comes.
int OpenLinkRequests(Works *works);
// Applies every request waiting; returns how many there were.
int ServeLinkRequests(Works *works);
// Applies what is left and ends the queue: posters apply their own again.
void CloseLinkRequests(Works *works);
// True on the link thread (and while a poster applies its own request).
bool OnLinkThread();

// ---- The view of the link's fields that the other threads show.

struct LinkView {
  uint8_t stErr[3];
  float pwIn, pwFwd, pwRefl, pwFwdPeak;
  uint16_t rawPw, rawFwd, rawRefl;
  float swr, iAdc, temp1, temp2;
  int32_t freqMeasured;
  uint8_t ampBypass;
  int32_t anSel, antenna;
  uint8_t attenuator, attenuatorSel, atuBypass, autoTuneState;
  uint32_t tuneVal;
  int32_t tuneL, tuneC;
  uint8_t tuneMode;
  int32_t tuneFine;
  int32_t fanPercentSent, retryTotal, retryStops;
  uint8_t eeModel, powerClass;
};
// The link publishes its view after each status reply and after requests.
void PublishLinkView(Works *works);
// The view last published; without a link thread, the fields as they are.
void ReadLinkView(Works *works, LinkView *out);
