/* Memory for large tables (a shard's words, a merge's keyed chunk): address space reserved at once
 * for the most a table may hold and backed by the system as it is touched, in huge pages where the
 * system offers them. A small page costs a fault each time it is first touched, which on virtual
 * machines costs more than the counting or sorting of the words that fill it. */
#ifndef QUOVENT_COMMON_LARGEREGION_H
#define QUOVENT_COMMON_LARGEREGION_H

#include <cstddef>

class LargeRegion {
 public:
  /* Reserves `bytes` bytes, zeros until written. Stops the process through error_at(where) when
   * the address space cannot be had, saying it was wanted for `what`. */
  LargeRegion(size_t bytes, const char *where, const char *what);
  ~LargeRegion();
  LargeRegion(const LargeRegion &) = delete;
  LargeRegion &operator=(const LargeRegion &) = delete;

  /* Gives the memory back to the system; the region reads as zeros again. */
  void release();

  template <typename T>
  T *as() const {
    return static_cast<T *>(base_);
  }

 private:
  void *base_;
  size_t bytes_;
};

#endif
