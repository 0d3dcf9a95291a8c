#pragma once
// How the process heap serves the photo work: one rotation or decode allocates and frees tens of
// megabytes, and a heap that hands that back to the kernel at every free pays page faults and
// zeroing for it again on the next photo.

namespace brisko {

// Keeps freed photo-sized blocks for the next photo (at start, before any thread).
void KeepHeapForPhotos();
// Gives what the heap kept back to the kernel: for a station that goes idle after a pass.
void ReleaseKeptHeap();

}  // namespace brisko
