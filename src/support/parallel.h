#pragma once
// Splitting a long run of independent file calls between two threads.
#include <cstddef>
#include <functional>

namespace brisko {

// From this many file calls on (a large folder's statuses or in-use tests), a second thread
// costs less than it saves.
inline constexpr size_t kParallelFileCalls = 256;

// Calls fn(i) for every i in [0, n). From kParallelFileCalls items on, and where the machine has
// a second core, the upper half runs on one more thread: fn must then be safe for different i at
// once. Returns once every call has returned.
void ForEachIndex(size_t n, const std::function<void(size_t)>& fn);

}  // namespace brisko
