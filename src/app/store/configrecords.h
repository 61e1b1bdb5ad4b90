// The records the configuration keeps: one mail account, the page
// preferences, the proxy settings, and the list of saved files an account
// change leaves to delete. Plain values: each copies only through Assign.
#ifndef PV_APP_STORE_CONFIGRECORDS_H
#define PV_APP_STORE_CONFIGRECORDS_H

#include <cstdint>
#include <vector>

#include "core/kstring.h"

// Status text of an account whose threads are (re)starting.
extern const char* const kStatusConnecting;

// One mail account. An empty record has id 0, empty texts and zero numbers.
// The password is clear text here; the database keeps it encoded.
struct AccountInfo {
  int id = 0;  // [account].[id]
  koString email;  // the key callers name an account by; compared ignoring ASCII case
  koString password;
  int mailIndexingStatus = 0;  // [module].[indexing_status] of module 3 (All Mail)
  uint32_t threadId = 0;       // the account's mail thread; 0 = none
  koString mailStatus;
  koString contactStatus;
  int downloadAll = 0;  // 1 = all mail, else mail received since downloadSince
  int mailTotal = 0;
  int mailProcessed = 0;
  int64_t downloadSince = 0;  // seconds since 1970 (UTC)
  int attachmentProcessed = 0;
  int attachmentTotal = 0;
  int attachmentIndexingStatus = 0;  // of module 6 (attachment extraction)
  int64_t contactUpdatedTime = 0;  // seconds since 1970 of the last contact pass
  koString contactAuthToken;       // the contacts service's cached sign-in token
  int64_t mailUpdatedTime = 0;     // seconds since 1970 of the last mail pass
  int downloadAttachments = 0;     // 1 = extract attachments
  koString allMailFolder;          // server names of the special folders
  koString trashFolder;
  koString spamFolder;

  AccountInfo() = default;
  AccountInfo(const AccountInfo&) = delete;
  AccountInfo& operator=(const AccountInfo&) = delete;
  // Copies every field.
  void Assign(const AccountInfo& other);
  // Back to the empty record.
  void Clear();
};

// How the web pages show files and contacts. Field names are the row names
// of table [preferences].
struct Preferences {
  int show_inline_images = 0;
  int show_recv_attachments = 1;  // 1: received mail only; 0: received and sent
  int show_sender_emails = 0;     // 1: only contacts the user has written to
  koString sidebar_activetab;
  koString active_group;
  koString active_contacttype;
  int contacts_perpage = 30;
  int files_perpage = 10;
  int context_type = 0;  // account id the pages are narrowed to; 0 = all
  int sidebar_lock = 0;  // 1: the side bar is locked with the passcode

  Preferences() { SetDefaults(); }
  Preferences(const Preferences&) = delete;
  Preferences& operator=(const Preferences&) = delete;
  void Assign(const Preferences& other);
  void SetDefaults();
};

// How the IMAP connection and the contacts client reach the network. Stored
// in table [proxy] under the row names proxy_type, proxy_port, proxy_secure,
// proxy_host, proxy_username and proxy_password.
struct ProxySettings {
  int type = 1;     // 1 direct, 2 HTTP (CONNECT), 3 SOCKS5, 4 automatic
  int port = -1;    // -1 = not set
  int secure = 0;   // non-zero: user and password are sent
  koString host;
  koString user;
  koString password;  // plain text, also in its row

  ProxySettings() = default;
  ProxySettings(const ProxySettings&) = delete;
  ProxySettings& operator=(const ProxySettings&) = delete;
  void Assign(const ProxySettings& other);
  void SetDefaults();
};

// Relative paths (below the attachments folder) of saved attachment files
// whose rows a transaction removed; see ConfigMgr::DeleteMails.
typedef std::vector<koString> SavedFileList;

#endif  // PV_APP_STORE_CONFIGRECORDS_H
