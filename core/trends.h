#pragma once
// The station's readings over time, in memory only: one sample a second
// for the last hour and the average of each minute for the last 24 hours.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct TrendSample {
  float forward = 0;    // W
  float reflected = 0;  // W
  float swr = 0;
  float temp1 = 0;  // °C
  float temp2 = 0;  // °C
  float fan = 0;    // %
};

constexpr int kTrendSeconds = 3600;
constexpr int kTrendMinutes = 1440;

class Trends {
 public:
  // One sample, taken at wallSeconds (UTC); the caller adds one a second.
  void Add(const TrendSample &sample, int64_t wallSeconds);
  // The last `seconds` as JSON: per second up to an hour, above that the
  // minute averages ("interval": 60). Oldest first.
  std::string Json(long long seconds);
  // Samples of one second held (at most kTrendSeconds), and minutes.
  size_t seconds();
  size_t minutes();

 private:
  struct Ring {
    std::vector<TrendSample> items;
    size_t next = 0;  // where the next one goes
    size_t count = 0;
    int64_t end = 0;  // time of the newest
    void push(const TrendSample &s, size_t capacity, int64_t when);
    // The newest n, oldest first.
    std::vector<TrendSample> last(size_t n) const;
  };
  std::mutex mutex_;
  Ring second_, minute_;
  TrendSample sum_;
  int inMinute_ = 0;
};

// The program's readings.
Trends &StationTrends();
