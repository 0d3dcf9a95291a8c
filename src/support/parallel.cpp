#include "support/parallel.h"

#include <system_error>
#include <thread>

namespace brisko {

void ForEachIndex(size_t n, const std::function<void(size_t)>& fn) {
  size_t half = n;
  std::thread other;
  if (n >= kParallelFileCalls && n >= 2 && std::thread::hardware_concurrency() >= 2) {
    try {
      other = std::thread([&fn, n, from = n / 2] {
        for (size_t i = from; i < n; ++i) fn(i);
      });
      half = n / 2;
    } catch (const std::system_error&) {
      // No thread to be had: all of it here.
    }
  }
  for (size_t i = 0; i < half; ++i) fn(i);
  if (other.joinable()) other.join();
}

}  // namespace brisko
