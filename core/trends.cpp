#include "core/trends.h"

#include <cmath>
#include <cstdio>

#include "core/event_log.h"

namespace {

void appendSeries(std::string *j, const char *name, const std::vector<TrendSample> &samples,
                  float TrendSample::*field, const char *format) {
  *j += ",\"";
  *j += name;
  *j += "\":[";
  char buf[32];
  for (size_t i = 0; i < samples.size(); ++i) {
    float v = samples[i].*field;
    snprintf(buf, sizeof buf, format, std::isfinite(v) ? v : 0.0f);
    if (i > 0) *j += ',';
    *j += buf;
  }
  *j += ']';
}

}  // namespace

void Trends::Ring::push(const TrendSample &s, size_t capacity, int64_t when) {
  if (items.size() < capacity) items.resize(capacity);
  items[next] = s;
  next = (next + 1) % capacity;
  if (count < capacity) ++count;
  end = when;
}

std::vector<TrendSample> Trends::Ring::last(size_t n) const {
  if (n > count) n = count;
  std::vector<TrendSample> out;
  out.reserve(n);
  const size_t cap = items.size();
  for (size_t k = n; k > 0; --k) out.push_back(items[(next + cap - k) % cap]);
  return out;
}

void Trends::Add(const TrendSample &s, int64_t wallSeconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  second_.push(s, kTrendSeconds, wallSeconds);
  sum_.forward += s.forward;
  sum_.reflected += s.reflected;
  sum_.swr += s.swr;
  sum_.temp1 += s.temp1;
  sum_.temp2 += s.temp2;
  sum_.fan += s.fan;
  if (++inMinute_ < 60) return;
  const float n = static_cast<float>(inMinute_);
  TrendSample avg{sum_.forward / n, sum_.reflected / n, sum_.swr / n,
                  sum_.temp1 / n,   sum_.temp2 / n,     sum_.fan / n};
  minute_.push(avg, kTrendMinutes, wallSeconds);
  sum_ = TrendSample();
  inMinute_ = 0;
}

std::string Trends::Json(long long seconds) {
  if (seconds < 1) seconds = 1;
  std::vector<TrendSample> samples;
  int interval = 1;
  int64_t end = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (seconds <= kTrendSeconds) {
      samples = second_.last(static_cast<size_t>(seconds));
      end = second_.end;
    } else {
      interval = 60;
      samples = minute_.last(static_cast<size_t>((seconds + 59) / 60));
      end = minute_.end;
    }
  }
  std::string j = "{\"interval\":" + std::to_string(interval) + ",\"end\":";
  if (samples.empty())
    j += "null";
  else
    j += '"' + UtcTimeText(end) + '"';
  appendSeries(&j, "forward", samples, &TrendSample::forward, "%.1f");
  appendSeries(&j, "reflected", samples, &TrendSample::reflected, "%.1f");
  appendSeries(&j, "swr", samples, &TrendSample::swr, "%.2f");
  appendSeries(&j, "temp1", samples, &TrendSample::temp1, "%.1f");
  appendSeries(&j, "temp2", samples, &TrendSample::temp2, "%.1f");
  appendSeries(&j, "fan", samples, &TrendSample::fan, "%.0f");
  j += '}';
  return j;
}

size_t Trends::seconds() {
  std::lock_guard<std::mutex> lock(mutex_);
  return second_.count;
}

size_t Trends::minutes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return minute_.count;
}

Trends &StationTrends() {
  static Trends trends;
  return trends;
}
