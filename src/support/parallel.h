#pragma once
// Splitting a long run of independent file calls between two threads.
#include <cstddef>
#include <functional>

namespace brisko {

// Calls fn(i) for every i in [0, n). From `parallelFrom` items on, and where the machine has a
// second core, the upper half runs on one more thread: fn must then be safe for different i at
// once. Returns once every call has returned.
void ForEachIndex(size_t n, size_t parallelFrom, const std::function<void(size_t)>& fn);

}  // namespace brisko
