#include "common/LargeRegion.h"

#include <sys/mman.h>

#include "common/Errors.h"

LargeRegion::LargeRegion(size_t bytes, const char *where, const char *what) : bytes_(bytes) {
  base_ = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
               -1, 0);
  if (base_ == MAP_FAILED) error_at(where, "Out of memory for %s", what);
  // Only a hint: without huge pages the region works all the same.
  madvise(base_, bytes, MADV_HUGEPAGE);
}

LargeRegion::~LargeRegion() { munmap(base_, bytes_); }

void LargeRegion::release() { madvise(base_, bytes_, MADV_DONTNEED); }
