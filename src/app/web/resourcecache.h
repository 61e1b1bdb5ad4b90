// ResourceCache: the pages of the resource store, each read from the store
// once and then served from memory.
//
// Opening the store and compiling its statements for every request costs
// far more than the answer itself, and the store does not change while the
// program runs, except when an update replaces the file: the cache is
// emptied when the file's identity (device, inode, size, modification time)
// differs from the one it was filled from. The identity is looked at no more
// often than every `recheckMs` of the cache's clock (and whenever another
// store path is asked for), so an update is seen within that time. Only pages that exist are
// kept, so the memory used is bounded by the store's content.
//
// A cache may be given a HeadMaker: it runs once for every page read from
// the store, so that what a caller sends with the page (the head of its
// answer) is built once too.
//
// Thread-safety: Find may be called from any number of threads at once; a
// mutex guards the table, and the store is read outside it. Pages handed
// out stay valid as long as the caller holds them, whatever the cache does.
#ifndef PV_APP_WEB_RESOURCECACHE_H
#define PV_APP_WEB_RESOURCECACHE_H

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/kstring.h"
#include "core/kthread.h"

class ResourceCache {
 public:
  struct Page {
    koString content;  // all bytes of the resource
    int64_t modified;  // res_lastwritetime, seconds since 1970
    koString head;     // what the cache's HeadMaker made; empty without one
  };
  // Fills page->head for the page `name` (as the store's key: lower case).
  typedef void (*HeadMaker)(const char* name, Page* page);
  // Milliseconds that only grow; a test passes its own to decide when the
  // store is looked at again.
  typedef int64_t (*Clock)();

  static constexpr int kRecheckMs = 1000;

  explicit ResourceCache(HeadMaker maker = nullptr, int recheckMs = kRecheckMs,
                         Clock clock = nullptr);
  ResourceCache(const ResourceCache&) = delete;
  ResourceCache& operator=(const ResourceCache&) = delete;

  // The resource `name` (ASCII letter case ignored) of the store at
  // `storePath`; null when the store has no such resource or cannot be read
  // (logged through gLog by the store).
  std::shared_ptr<const Page> Find(const char* storePath, const char* name);

 private:
  struct Identity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    int64_t modifiedNs = 0;
    bool operator!=(const Identity& o) const {
      return exists != o.exists || device != o.device || inode != o.inode || size != o.size ||
             modifiedNs != o.modifiedNs;
    }
  };
  static Identity IdentityOf(const char* path);

  const HeadMaker maker_;
  const int recheck_ms_;
  const Clock clock_;
  koMutex lock_;
  // All guarded by lock_.
  std::string path_;        // the store the table was filled from
  Identity identity_;       // its identity when last looked at
  int64_t next_check_ = 0;  // monotonic ms; the identity is looked at again from then on
  uint64_t generation_ = 0;  // counts the times the table was emptied
  std::map<std::string, std::shared_ptr<const Page>> pages_;
};

#endif  // PV_APP_WEB_RESOURCECACHE_H
