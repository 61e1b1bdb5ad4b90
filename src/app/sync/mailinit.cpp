#include "app/sync/mailinit.h"

#include <mutex>

#include "app/sync/mailext.h"

extern "C" {
#include <c-client/c-client.h>
#include <c-client/linkage.h>
}

namespace {

// The library's own notifier takes back any pending alarm before every
// allocation and free and sets it again after: two system calls each time,
// a few hundred per mail. This program sets no alarms, so there is nothing
// to hold off.
void* IgnoreBlocks(int reason, void* data) { return reason == BLOCK_SENSITIVE ? nullptr : data; }

}  // namespace

void InitMailLibrary() {
  // The library appends every link to a list: linking twice would chain a
  // driver to itself.
  static std::once_flag once;
  std::call_once(once, [] {
    mail_link(&imapdriver);
    mail_link(&nntpdriver);
    mail_link(&pop3driver);
    mail_link(&mbxdriver);
    mail_link(&mtxdriver);
    mail_link(&tenexdriver);
    mail_link(&unixdriver);
    mail_link(&dummydriver);
    ssl_onceonlyinit();
    InstallTlsDriver();
    auth_link(&auth_ext);
    auth_link(&auth_gss);
    auth_link(&auth_md5);
    auth_link(&auth_pla);
    auth_link(&auth_log);
    mail_versioncheck(const_cast<char*>(CCLIENTVERSION));
    mail_parameters(NIL, SET_BLOCKNOTIFY, reinterpret_cast<void*>(&IgnoreBlocks));
  });
}
