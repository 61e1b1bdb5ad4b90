#include "app/store/commonhelper.h"

#include <proxy.h>

#include <cstdio>

#include "core/klog.h"
#include "core/ksqlite.h"

namespace {

// The proxies libproxy proposes for url, in its order; null when the lookup
// failed. Free the answer with px_proxy_factory_free_proxies.
char** QueryProxiesWithLibproxy(const char* url) {
  pxProxyFactory* factory = px_proxy_factory_new();
  if (factory == nullptr) {
    printf("\nerror: in creating proxy factory\n");
    return nullptr;
  }
  char** proxies = px_proxy_factory_get_proxies(factory, url);
  if (proxies == nullptr) printf("Error: proxyArray is Null");
  px_proxy_factory_free(factory);
  return proxies;
}

}  // namespace

int UpdateModuleIndexingValues(koSQLite* db, int total, int processed, int accountId,
                               int moduleId) {
  const char* sql =
      "UPDATE module SET [total_msgs] = ?, [processed_msgs] = ? WHERE [account_id] = ?  AND [id] "
      "= ?";
  koStatement s(db, sql);
  return s.Int(total).Int(processed).Int(accountId).Int(moduleId).Step() ? 1 : 0;
}

int GetModuleUidRanges(koSQLite* db, int accountId, int moduleId, int64_t* from, int64_t* to) {
  const char* sql =
      "SELECT [last_processed_uid_from] , [last_processed_uid_to] FROM [module] WHERE "
      "[account_id] = ? AND [id] = ?";
  *from = 0;
  *to = 0;
  koStatement s(db, sql);
  if (!s.Int(accountId).Int(moduleId).Step()) return 0;
  if (s.HasRow()) {
    *from = db->GetInt64(s.Handle(), 0);
    *to = db->GetInt64(s.Handle(), 1);
  }
  return 1;
}

void GetProxySettingsAuto(const char* url, int* found, koString& proxy) {
  *found = 0;
  char** proxies = QueryProxiesWithLibproxy(url != nullptr ? url : "");
  if (proxies == nullptr) {
    KO_LOG(-1, "GetProxySettingsAuto");
    return;
  }
  for (int i = 0; proxies[i] != nullptr; ++i) {
    proxy.SetAs(proxies[i]);
    if (!proxy.EqualsNoCase("direct://")) {
      *found = 1;
      break;
    }
  }
  px_proxy_factory_free_proxies(proxies);
}
