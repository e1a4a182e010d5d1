// A small timing harness: the median of repeated runs, peers measured in the
// same process one after the other.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <utility>
#include <vector>

namespace pixkeep::bench {

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

inline double medianSeconds(const std::function<void()>& fn, int runs = 15) {
  fn();  // warm-up
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    fn();
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// Medians of two functions run alternately, so that both see the same machine.
inline std::pair<double, double> medianPair(const std::function<void()>& a, const std::function<void()>& b,
                                            int runs = 15) {
  a();
  b();
  std::vector<double> ta, tb;
  for (int i = 0; i < runs; ++i) {
    for (int k = 0; k < 2; ++k) {
      auto t0 = std::chrono::steady_clock::now();
      (k == (i & 1) ? a : b)();
      double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      (k == (i & 1) ? ta : tb).push_back(t);
    }
  }
  std::sort(ta.begin(), ta.end());
  std::sort(tb.begin(), tb.end());
  return {ta[ta.size() / 2], tb[tb.size() / 2]};
}

// Prints one comparison line and returns whether the ratio meets the target.
inline bool report(const char* what, double ours, double peer, double target) {
  double ratio = ours / peer;
  bool ok = ratio <= target;
  std::printf("%-44s %9.3f ms vs %9.3f ms  ratio %.2f (target <= %.2f) %s\n", what, ours * 1e3, peer * 1e3, ratio,
              target, ok ? "ok" : "MISSED");
  return ok;
}

}  // namespace pixkeep::bench
