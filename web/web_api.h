#pragma once
// The web panel's request and answer texts, apart from the server so tests
// take them directly: form bodies, the key request, cookies, the same-origin
// rule and the state document.
#include <map>
#include <string>

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

// A request that changes something must come from the panel's own page: its
// Origin header (or, without one, its Referer) names http://HOST with the
// Host the request was sent to. A request naming neither is refused.
bool SameOrigin(const std::string &origin, const std::string &referer, const std::string &host);

// GET /api/state: the amplifier's state as a JSON object.
std::string StateJson(Works *works);
