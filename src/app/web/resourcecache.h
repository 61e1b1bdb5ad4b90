// ResourceCache: the pages of the resource store, each read from the store
// once and then served from memory.
//
// Opening the store and compiling its statements for every request costs
// far more than the answer itself, and the store does not change while the
// program runs, except when an update replaces the file: the cache is
// emptied whenever the file's identity (device, inode, size, modification
// time) differs from the one it was filled from. Only pages that exist are
// kept, so the memory used is bounded by the store's content.
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
  };

  ResourceCache() = default;
  ResourceCache(const ResourceCache&) = delete;
  ResourceCache& operator=(const ResourceCache&) = delete;

  // The resource `name` (ASCII letter case ignored) of the store at
  // `storePath`; null when the store has no such resource or cannot be read
  // (logged through gLog by the store).
  std::shared_ptr<const Page> Find(const char* storePath, const char* name);

  // The one cache of the process's web server.
  static ResourceCache& Instance();

 private:
  struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    int64_t modifiedNs = 0;
    std::string path;
    bool operator!=(const Identity& o) const {
      return device != o.device || inode != o.inode || size != o.size ||
             modifiedNs != o.modifiedNs || path != o.path;
    }
  };

  koMutex lock_;
  Identity identity_;                                     // guarded by lock_
  std::map<std::string, std::shared_ptr<const Page>> pages_;  // guarded by lock_
};

#endif  // PV_APP_WEB_RESOURCECACHE_H
