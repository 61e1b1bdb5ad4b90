#include "app/sync/mailinit.h"

#include <mutex>

#include "app/sync/mailext.h"

extern "C" {
#include <c-client/c-client.h>
#include <c-client/linkage.h>
}

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
  });
}
