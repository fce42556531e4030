// Fuzz target: whatever the controller's port delivers (any bytes, any
// length, any check digits) goes through the link's receive path and, when
// the check digits happen to fit or the input asks for it, the decoder.
// The first byte chooses the path and a few states of the record.
//
// The decoder logs a line for most replies; run with -close_fd_mask=2 and
// ASAN_OPTIONS=log_path=... to keep the fuzzer's speed and still see reports:
//   fuzz_controller_reply -close_fd_mask=2 -max_len=700 CORPUS_DIR
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "controller/link.h"
#include "core/process_globals.h"
#include "core/setup.h"
#include "core/threads.h"
#include "fuzz/fuzz_support.h"

namespace {

// Runs the link as its thread would, without a port and without pauses.
void runLink(Works *works, LinearLink *link) {
  for (int step = 0; step < 64; ++step) {
    char text[kLinearCmdMax];
    int length = 0, pause = 0;
    int action = LinearAdvance(works, link, text, &length, &pause);
    if (action == LA_WRITE) continue;  // "sent": wait for its reply next
    if (action != LA_PAUSE) break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  Works *works = fuzz::Record();
  uint8_t mode = data[0];
  works->enablePwrPeak = (mode >> 1) & 1;
  works->powerClass = (mode & 4) ? '1' : '0';
  works->autoTuneState = (mode >> 3) & 3;
  works->cmdPriority = (mode >> 5) & 1;
  works->retryCount = 0;
  linearProcessStatus = LP_ST;
  linearLinkState = LS_WAIT;
  LinearLink link{};
  std::string bytes(reinterpret_cast<const char *>(data + 1), size - 1);
  if (mode & 1) {
    // A reply with check digits that fit: straight to the decoder.
    char digits[3];
    LinearReplyDigits(bytes.data(), static_cast<int>(bytes.size()), digits);
    bytes = std::string(digits) + bytes;
  }
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t n = std::min(bytes.size() - pos, sizeof link.in - static_cast<size_t>(link.inLen));
    if (n == 0) break;
    memcpy(link.in + link.inLen, bytes.data() + pos, n);
    link.inLen += static_cast<int>(n);
    pos += n;
    linearLinkState = LS_WAIT;
    runLink(works, &link);
  }
  // And the decoder on its own, with a count that may not match the text.
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  TakeLinearReply(works, text.c_str(), static_cast<int>(text.size()) + 2);
  char status[64];
  CreaBufferDiStato(works, status);
  // Drop what the tuner or the errors may have queued, so the ring never fills.
  while (TakeCmdLinear(works) >= 0) {
  }
  return 0;
}
