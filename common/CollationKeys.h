/* The collation keys of lines under the current locale, each made once and kept: strxfrm is
 * the costly part of ordering text, and words come again and again in a batch, in a merge and
 * across the results of shards. One cache serves the shuffle's sort and merge and the order of
 * result files. A line's key compared with strcmp gives the sign strcoll gives the lines. */
#ifndef QUOVENT_COMMON_COLLATIONKEYS_H
#define QUOVENT_COMMON_COLLATIONKEYS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CollationKeyCache {
 public:
  /* A cache of at most max_keys keys and max_bytes bytes of lines and keys. Keys longer than
   * max_key_bytes are never kept. */
  CollationKeyCache(size_t max_keys, size_t max_bytes, size_t max_key_bytes);

  /* The key of the zero-terminated `line` of `length` bytes, whose hash (any hash of its bytes
   * that the caller always uses) is `hash`: the kept one, or made and kept now. When the cache
   * is full the key is made into `scratch` (max_key_bytes bytes) and returned there, valid until
   * scratch is reused; without scratch nullptr is returned then. nullptr too when the key is
   * longer than max_key_bytes. A kept key stays valid until the cache is emptied. errno is
   * kept. */
  const char *find_or_make(uint32_t hash, const char *line, size_t length, char *scratch = nullptr);

  /* The kept key of the line, or nullptr. */
  const char *find(uint32_t hash, const char *line, size_t length) const;

  /* Empties the cache when the collation locale is no longer the one its keys were made for
   * (or when its name is too long to be told from another). */
  void follow_collation_locale();

 private:
  struct Cached {
    uint32_t hash;
    uint32_t line_length;
    const char *text;  // the line, a zero, the key, a zero
  };

  const char *keep(uint32_t hash, const char *line, size_t length, const char *key,
                   size_t key_length);
  void place(uint32_t entry);
  void clear();

  size_t max_keys_;
  size_t max_bytes_;
  size_t max_key_bytes_;
  std::vector<uint32_t> slots_;  // entry index + 1; 0 is a free slot; a power of two
  std::vector<Cached> entries_;
  struct FreeBlock {
    void operator()(char *block) const;
  };
  std::vector<std::unique_ptr<char[], FreeBlock>> blocks_;  // never move: kept keys stay put
  size_t block_used_ = 0;
  size_t used_bytes_ = 0;
  std::unique_ptr<char[]> scratch_;  // where a key is made before it is kept
  std::string locale_;               // the LC_COLLATE name the keys were made for
  bool usable_ = true;
};

#endif
