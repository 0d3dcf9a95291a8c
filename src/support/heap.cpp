#include "support/heap.h"

#include <cstddef>  // also tells which C library this is

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace brisko {

namespace {
// Blocks below this come from the heap (glibc's ceiling); larger ones are mapped and unmapped.
constexpr int kMapFrom = 32 << 20;
// Free heap top kept instead of trimmed: a few photos' worth of work buffers.
constexpr int kKeepUpTo = 128 << 20;
// A pass that leaves less than this free is not worth a trim.
constexpr size_t kTrimWhenFree = 16 << 20;
}  // namespace

void KeepHeapForPhotos() {
#if defined(__GLIBC__)
  mallopt(M_MMAP_THRESHOLD, kMapFrom);
  mallopt(M_TRIM_THRESHOLD, kKeepUpTo);
#endif
}

void ReleaseKeptHeap() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
  struct mallinfo2 info = mallinfo2();
  if (info.fordblks >= kTrimWhenFree) malloc_trim(0);
#endif
}

}  // namespace brisko
