// PrefMgr: the request handler ("PrefMgr") for the display preferences, the
// side bar's state and its lock passcode.
//
// Preferences are rows of the summary database's [preferences] table and a
// cached record in ConfigMgr: the rows are written first, and the cache is
// replaced only after they were. The passcode is ConfigMgr's (the ini file).
// One request thread; ConfigMgr locks what it shares.
#ifndef PV_APP_WEB_PREFMGR_H
#define PV_APP_WEB_PREFMGR_H

#include "app/web/objectbase.h"

class koSQLite;
class koStatement;
struct Preferences;

class PrefMgr : public ObjectBase {
 public:
  PrefMgr(koHttpConnection* connection, int argument);
  // GetPreferences, SavePreferences, SetBrowserExtPreferences,
  // ChangeSidebarPassword, SideBarLockStatus, ValidatePassword (ignoring
  // case); anything else redirects to "/index.html".
  void RunAction(const koString& action);

 private:
  void GetPreferences();
  // SavePreferences's six display rows, or SetBrowserExtPreferences's one.
  void SavePreferences();
  void SetBrowserExtPreferences();
  void SideBarLockStatus();
  void ValidatePassword();
  void ChangeSidebarPassword();
  // Writes (name, the request parameter `parameter`) with the reused
  // statement. 1 on success (failures are logged).
  int WriteRow(koStatement& statement, const char* name, const koString& value);
  // Opens the summary database; a failure is logged with its name.
  static int OpenDatabase(koSQLite& db);
};

#endif  // PV_APP_WEB_PREFMGR_H
