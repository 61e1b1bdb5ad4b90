#include "app/web/resourcecache.h"

#include <sys/stat.h>

#include "core/klog.h"
#include "core/kresourcemgr.h"

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

ResourceCache& ResourceCache::Instance() {
  static ResourceCache cache;
  return cache;
}

std::shared_ptr<const ResourceCache::Page> ResourceCache::Find(const char* storePath,
                                                              const char* name) {
  Identity now;
  struct stat info;
  if (storePath == nullptr || stat(storePath, &info) != 0) return nullptr;
  now.device = info.st_dev;
  now.inode = info.st_ino;
  now.size = info.st_size;
  now.modifiedNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  now.path = storePath;
  std::string key = KeyOf(name);

  lock_.Lock();
  if (identity_ != now) {
    pages_.clear();
    identity_ = now;
  }
  auto found = pages_.find(key);
  std::shared_ptr<const Page> page = found != pages_.end() ? found->second : nullptr;
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

  lock_.Lock();
  // A store replaced meanwhile may have had other content: keep nothing then.
  if (!(identity_ != now)) pages_[key] = fresh;
  lock_.Unlock();
  return fresh;
}
