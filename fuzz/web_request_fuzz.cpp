// What a stranger's request head meets before anything else, on any bytes:
// the byte meter of a request never lets more through than its limits, and
// the Host check, the same-origin rule, the body refusals, the form and
// cookie readers and the device list's reader take anything. The input is
// split at NUL bytes into the pieces each one reads.
#include <cstdint>
#include <string>
#include <vector>

#include "web/web_api.h"
#include "web/web_auth.h"
#include "web/web_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string in(reinterpret_cast<const char *>(data), size);
  std::vector<std::string> part;
  for (size_t at = 0; part.size() < 6;) {
    size_t nul = in.find('\0', at);
    part.push_back(in.substr(at, nul == std::string::npos ? std::string::npos : nul - at));
    if (nul == std::string::npos) break;
    at = nul + 1;
  }
  part.resize(6);

  RequestMeter meter;
  size_t allowed = 0;
  for (size_t at = 0; at < in.size(); at += 7)
    allowed += meter.allow(in.data() + at, std::min<size_t>(7, in.size() - at));
  if (allowed > kMaxRequestHead + kMaxRequestBody) __builtin_trap();

  const bool hostOk = HostAllowed(part[0], "unit", {"amp.example.org"});
  if (hostOk && part[0].empty()) __builtin_trap();
  SameOrigin(part[1], part[2], part[0], size % 2 == 0);
  BodyHeaders body;
  body.contentLengths = {part[3]};
  int status = RefusedBeforeBody("POST", body, kMaxRequestBody);
  if (status != 0 && status != 400 && status != 413) __builtin_trap();
  ParseForm(part[4]);
  CookieValue(part[4], "ombrix_device");

  GuessBudget budget;
  WebAuth auth("fuzzed phrase", &budget);
  auth.loadDevices(part[5], 1700000000);
  if (auth.devicesText().size() > 32 * 160) __builtin_trap();
  return 0;
}
