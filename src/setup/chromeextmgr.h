// ChromeExtMgr: removes the extension's stored settings from the user's
// Chrome and Chromium profiles, so a fresh install or an uninstall starts the
// extension clean.
//
// The browsers keep their profiles in user-data folders below the user's
// config folder ("google-chrome" and "chromium"); each profile folder holds a
// JSON file "Preferences" whose "extensions"."settings" object has one member
// per extension. A rewritten file replaces the old one whole (temporary file
// and rename), so a failure leaves the profile as it was; folders that are no
// profile are not touched.
//
// No fields and no locks: one object on the stack of the step that uses it.
// Nothing here logs (the setup programs install no logger); answers are 1/0.
#ifndef PV_SETUP_CHROMEEXTMGR_H
#define PV_SETUP_CHROMEEXTMGR_H

#include "core/kplatform.h"
#include "core/kstring.h"

// The extension's identifier, the name of its settings member and of its
// machine-wide entry.
constexpr char kChromeExtensionId[] = "hdlheflidpohcjiefeogmcljhkkndkge";

class ChromeExtMgr {
 public:
  // The browsers whose profiles are cleaned: 0 Chrome, 1 Chromium.
  static constexpr int kBrowserCount = kChromeBrowserCount;

  // out = the user-data folder of the browser; 1 when it opens as a directory.
  int GetChromeProfilePath(int browser, koString& out);
  // Cleans every profile folder of every browser (a profile that fails is
  // left aside). 0 when no browser has a user-data folder, else 1.
  int UpdateChromePreferences();
  // Cleans one profile: 1 when its Preferences were rewritten without the
  // extension's member or held none; 0 when the file is missing, unreadable,
  // empty, not exactly one JSON value with "extensions"."settings", or could
  // not be replaced (then it is unchanged).
  int UpdateChromePreferences(const char* profileDir);
};

#endif  // PV_SETUP_CHROMEEXTMGR_H
