// postvane's callbacks for the mail library: the library's fixed mm_*
// functions (declared by its headers) and our mm_xlist and mm_proxysettings
// (app/sync/mailext.h), all defined in callbacks.cpp.
//
// They run on the thread that called into the library and find the account
// they work for through that thread's id, which the account's mail thread
// registered with ConfigMgr. A thread of no account (a request thread) gets
// its texts into ConfigMgr's general message. Warnings always replace the
// account's status; errors only an empty or "Connecting..." one.
//
// A program links either these callbacks or a stand-in set (the tests'
// mm_stubs.c), never both.
#ifndef PV_APP_SYNC_CALLBACKS_H
#define PV_APP_SYNC_CALLBACKS_H

#include "core/kstring.h"

// The password that mm_login hands the library for sign-ins on the calling
// thread; the mailbox name carries only the address, because the library
// refuses longer user fields. Kept until cleared (which overwrites it) or
// replaced, and freed when the thread ends.
void SetMailLoginPassword(const koString& password);
void ClearMailLoginPassword();
// Overwrites a secret's characters, then empties it.
void WipeSecret(koString& secret);

// With quiet 1, what the library reports on the calling thread reaches the
// log only, never a status (a helper thread whose failures its account's
// mail thread reports in its own way).
void SetMailStatusQuiet(int quiet);

// The last text the mail library reported on the calling thread (mm_log at
// level WARN or ERROR, mm_notify at ERROR); empty after a clear. Lets the
// indexer tell what the library said about its own last command.
void ClearLastMailMessage();
void GetLastMailMessage(koString& out);

// The login user name for the user field of a mailbox name: the local part,
// then "@" and the domain when there is one (leading "@" of the domain
// dropped; anything after a further "@" ignored).
void MailLoginUserName(const char* field, koString& out);

// The folder name that one untagged XLIST reply text (what follows the
// keyword) announces for a special folder. kind (OUT): 3 All Mail, 4 Spam,
// 5 Trash. 1 when the reply names one, 0 when it names no special folder
// (other attributes, a folder with children, another form).
int ParseXlistReply(const char* text, koString& name, int* kind);

#endif  // PV_APP_SYNC_CALLBACKS_H
