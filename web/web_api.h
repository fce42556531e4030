#pragma once
// The web panel's request and answer texts, apart from the server so tests
// take them directly: form bodies, the key request, cookies, the same-origin
// rule and the state document.
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "core/works.h"
#include "ui/panel.h"

// Fields of an application/x-www-form-urlencoded text (percent escapes and
// '+' decoded). Any bytes are accepted; at most kMaxFormFields fields are
// kept, a name repeated keeps its first value.
constexpr int kMaxFormFields = 16;
std::map<std::string, std::string> ParseForm(const std::string &text);

// POST /api/key: key = 1..6, press = short, long, down or up.
struct KeyRequest {
  int key = 0;
  PanelPress press = PP_SHORT;
};
bool ParseKeyRequest(const std::map<std::string, std::string> &form, KeyRequest *out);

// The value of the cookie `name` in a Cookie header; "" when absent.
std::string CookieValue(const std::string &cookieHeader, const std::string &name);

// The Host a request names must be one the panel answers to (421
// otherwise), so a page whose name was made to point at the unit (DNS
// rebinding) finds no panel: an IP address literal (IPv6 in brackets), with
// or without a port, localhost, the unit's host name or a name of the
// owner's WebHost list (lowercase). Names compare without regard to case.
bool HostAllowed(const std::string &host, const std::string &unitHostName,
                 const std::vector<std::string> &webHosts);

// A request that changes something must come from the panel's own page: its
// Origin header (or, without one, its Referer) names https://HOST (secure)
// or http://HOST with the Host the request was sent to, which HostAllowed
// has accepted. A request naming neither is refused.
bool SameOrigin(const std::string &origin, const std::string &referer, const std::string &host,
                bool secure);

// The headers that decide whether a request's body is read at all.
struct BodyHeaders {
  int contentEncodings = 0;   // Content-Encoding headers
  int transferEncodings = 0;  // Transfer-Encoding headers
  std::vector<std::string> contentLengths;
};
// A request refused from its head alone, before a byte of its body is
// read: 415 for a body in any Content-Encoding (it would have to be
// unpacked), 411 for one of untold length (chunked, or a POST without
// Content-Length), 413 for one longer than maxBody, 400 for a length that
// is not one number. 0: go on.
int RefusedBeforeBody(const std::string &method, const BodyHeaders &headers, size_t maxBody);

// GET /api/state: the amplifier's state as a JSON object.
std::string StateJson(Works *works);
