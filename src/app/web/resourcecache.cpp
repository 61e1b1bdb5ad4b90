#include "app/web/resourcecache.h"

#include <sys/stat.h>

#include "core/klog.h"
#include "core/kresourcemgr.h"
#include "core/ksocket.h"

namespace {

// The store compares names with SQL lower(), which folds ASCII letters only.
std::string KeyOf(const char* name) {
  std::string key(name != nullptr ? name : "");
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return key;
}

}  // namespace

ResourceCache::ResourceCache(HeadMaker maker, int recheckMs, Clock clock)
    : maker_(maker), recheck_ms_(recheckMs), clock_(clock != nullptr ? clock : &koMonotonicMs) {}

ResourceCache::Identity ResourceCache::IdentityOf(const char* path) {
  Identity identity;
  struct stat info;
  if (stat(path, &info) != 0) return identity;
  identity.exists = true;
  identity.device = info.st_dev;
  identity.inode = info.st_ino;
  identity.size = info.st_size;
  identity.modifiedNs =
      static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  return identity;
}

std::shared_ptr<const ResourceCache::Page> ResourceCache::Find(const char* storePath,
                                                              const char* name) {
  if (storePath == nullptr) return nullptr;
  std::string key = KeyOf(name);
  int64_t now = clock_();

  lock_.Lock();
  if (path_ != storePath || now >= next_check_) {
    // The file is looked at outside the lock; another thread may have done
    // the same meanwhile, which does no harm.
    lock_.Unlock();
    Identity seen = IdentityOf(storePath);
    lock_.Lock();
    // Asking for a store that is not there leaves the table as it is.
    if (!seen.exists && path_ != storePath) {
      lock_.Unlock();
      return nullptr;
    }
    if (path_ != storePath || identity_ != seen) {
      pages_.clear();
      ++generation_;
      path_ = storePath;
      identity_ = seen;
    }
    next_check_ = now + recheck_ms_;
  }
  if (!identity_.exists || path_ != storePath) {
    lock_.Unlock();
    return nullptr;
  }
  auto found = pages_.find(key);
  std::shared_ptr<const Page> page = found != pages_.end() ? found->second : nullptr;
  uint64_t generation = generation_;
  lock_.Unlock();
  if (page != nullptr) return page;

  // Read outside the lock: requests for names the store lacks come here
  // every time and must not queue behind each other.
  koResourceMgr store(storePath, gLog);
  if (!store.Open()) return nullptr;
  int length = 0;
  const char* content = store.GetResource(key.c_str(), &length);
  if (content == nullptr) return nullptr;
  auto fresh = std::make_shared<Page>();
  fresh->content.SetAs(content, length);
  fresh->modified = store.GetLastWriteTime(key.c_str());
  if (maker_ != nullptr) maker_(key.c_str(), fresh.get());

  lock_.Lock();
  // A table emptied meanwhile belongs to another store: keep nothing then.
  if (generation_ == generation) pages_[key] = fresh;
  lock_.Unlock();
  return fresh;
}
