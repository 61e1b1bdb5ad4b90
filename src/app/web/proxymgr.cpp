#include "app/web/proxymgr.h"

#include "app/store/configmgr.h"
#include "app/sync/historymgr.h"
#include "app/web/settingrows.h"
#include "core/klog.h"

namespace {

const char kWriteRow[] = "INSERT OR REPLACE INTO [proxy] ([name], [value]) VALUES (?, ?)";

struct ProxyRow {
  const char* name;
  const char* parameter;
};
const ProxyRow kProxyRows[] = {
    {"proxy_type", "proxyType"},         {"proxy_host", "proxyHost"},
    {"proxy_port", "proxyPort"},         {"proxy_secure", "proxySecure"},
    {"proxy_username", "proxyUname"},    {"proxy_password", "proxyPwd"},
};

}  // namespace

ProxyMgr::ProxyMgr(koHttpConnection* connection, int argument) : ObjectBase(connection, argument) {}

void ProxyMgr::RunAction(const koString& action) {
  if (action.EqualsNoCase("GetProxySettings")) {
    GetProxySettings();
  } else if (action.EqualsNoCase("SaveProxySettings")) {
    SaveProxySettings();
  } else {
    SetRedirect("/index.html");
  }
}

void ProxyMgr::GetProxySettings() {
  ProxySettings proxy;
  gConfigMgr->GetProxySettings(proxy);
  response_.AppendFormat("({\"proxy_type\":%d, ", proxy.type);
  AppendJsonText(response_, "\"proxy_host\":\"%s\", ", proxy.host.GetString());
  response_.AppendFormat("\"proxy_port\":%d, \"proxy_secure\":%d, ", proxy.port, proxy.secure);
  AppendJsonText(response_, "\"proxy_uname\":\"%s\", ", proxy.user.GetString());
  AppendJsonText(response_, "\"proxy_pwd\":\"%s\" })", proxy.password.GetString());
}

void ProxyMgr::SaveProxySettings() {
  int saved = 0;
  koWriteGuard accounts(*gConfigMgr->GetAccountsLock());
  koSQLite db(gLog);
  if (!SQLiteMgr::OpenAndInitialize(&db, SQLiteMgr::kSummaryDatabase)) {
    KO_LOG(-1, SQLiteMgr::kSummaryDatabase);
  } else if (gHistoryMgr == nullptr || !gHistoryMgr->Stop()) {
    KO_LOG(-1, "Stop");
  } else {
    saved = WriteSettingRows(db, kWriteRow, kProxyRows, connection_);
    if (saved) {
      ProxySettings proxy;
      proxy.type = connection_->GetParameter("proxyType")->ToInt();
      proxy.host.SetAs(*connection_->GetParameter("proxyHost"));
      proxy.port = connection_->GetParameter("proxyPort")->ToInt();
      proxy.secure = connection_->GetParameter("proxySecure")->ToInt();
      proxy.user.SetAs(*connection_->GetParameter("proxyUname"));
      proxy.password.SetAs(*connection_->GetParameter("proxyPwd"));
      gConfigMgr->SetProxySettings(proxy);
    }
    // The services were stopped for the change: they run again either way.
    gHistoryMgr->Start();
  }
  response_.SetAs(saved ? "1" : "0");
}
