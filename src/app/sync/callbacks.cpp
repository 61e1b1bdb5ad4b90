#include "app/sync/callbacks.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "app/sync/mailext.h"
#include "app/store/commonhelper.h"
#include "app/store/configmgr.h"
#include "core/klog.h"
#include "platform/os/thread_id.h"

extern "C" {
#include <c-client/c-client.h>
}

namespace {

thread_local koString tLoginPassword;
thread_local koString tLastMessage;
thread_local int tStatusQuiet = 0;

// The status of the account whose mail thread calls, or the general message
// on a thread of no account (ConfigMgr decides which).
void SetStatus(const char* text, int force) {
  if (gConfigMgr && !tStatusQuiet) gConfigMgr->SetStatusByThread(koCurrentThreadId(), text, force);
}

// Copies at most size - 2 characters and zeroes the last byte, as the
// proxy record's readers expect.
void CopyField(char* dst, size_t size, const char* src) {
  strncpy(dst, src, size - 2);
  dst[size - 1] = '\0';
}

// host and port of a proxy URL such as "http://host:port"; the host ends at
// ":" or "/", the port is 0 when none is given.
void ParseProxyUrl(const char* url, PROXYINFO* info) {
  const char* start = strstr(url, "//");
  start = start ? start + 2 : url;
  size_t hostLength = strcspn(start, ":/");
  koString host;
  host.SetAs(start, static_cast<int>(hostLength));
  CopyField(info->host, sizeof(info->host), host.GetString());
  info->port = start[hostLength] == ':' ? atoi(start + hostLength + 1) : 0;
}

}  // namespace

void SetMailStatusQuiet(int quiet) { tStatusQuiet = quiet; }

void ClearLastMailMessage() { tLastMessage.Clear(); }

void GetLastMailMessage(koString& out) { out.SetAs(tLastMessage); }

void SetMailLoginPassword(const koString& password) { tLoginPassword.SetAs(password); }

void WipeSecret(koString& secret) {
  // Overwrite before the buffer is reused or freed.
  if (secret.GetLength() > 0) {
    koString blank;
    for (uint32_t i = 0; i < secret.GetLength(); ++i) blank.Append("\0", 1);
    secret.SetAs(blank);
  }
  secret.Clear();
}

void ClearMailLoginPassword() { WipeSecret(tLoginPassword); }

void MailLoginUserName(const char* field, koString& out) {
  const char* at = strchr(field, '@');
  if (at == nullptr) {
    out.SetAs(field);
    return;
  }
  out.SetAs(field, static_cast<int>(at - field));
  const char* domain = at + 1;
  const char* end = strchr(domain, '@');
  koString text;
  text.SetAs(domain, end ? static_cast<int>(end - domain) : -1);
  text.TrimLeftChar('@');
  if (text.GetLength() > 0) {
    out.Append("@");
    out.Append(text);
  }
}

int ParseXlistReply(const char* text, koString& name, int* kind) {
  static const struct {
    const char* attributes;
    int kind;
  } kSpecial[] = {{"\\HasNoChildren \\Spam", kFolderSpam},
                  {"\\HasNoChildren \\Trash", kFolderTrash},
                  {"\\HasNoChildren \\AllMail", kFolderAllMail}};
  koString reply(text);
  for (const auto& special : kSpecial) {
    int at = reply.FindNoCase(special.attributes, 0);
    if (at < 0) continue;
    const char* rest = reply.GetString() + at + strlen(special.attributes);
    // The end of the attribute list, the "/" delimiter and the name's
    // opening quote; a reply of another form names nothing we can use.
    static const char kSeparator[] = ") \"/\" \"";
    const char* quote = strstr(rest, kSeparator);
    if (quote == nullptr) return 0;
    // Blanks inside the quotes belong to the name; only what follows the
    // closing quote (a line end) goes.
    koString quoted(quote + sizeof(kSeparator) - 1);
    quoted.TrimRight();
    uint32_t length = quoted.GetLength();
    if (length < 2 || quoted.GetString()[length - 1] != '"') return 0;
    // Inside a quoted string a backslash escapes the next character.
    const char* q = quoted.GetString();
    name.Clear();
    for (uint32_t i = 0; i + 1 < length; ++i) {
      if (q[i] == '\\' && i + 2 < length) ++i;
      name.Append(q + i, 1);
    }
    *kind = special.kind;
    return 1;
  }
  return 0;
}

extern "C" {

// Events that this program does not follow.
void mm_searched(MAILSTREAM*, unsigned long) {}
void mm_exists(MAILSTREAM*, unsigned long) {}
void mm_expunged(MAILSTREAM*, unsigned long) {}
void mm_flags(MAILSTREAM*, unsigned long) {}
void mm_lsub(MAILSTREAM*, int, char*, long) {}
void mm_status(MAILSTREAM*, char*, MAILSTATUS*) {}
void mm_critical(MAILSTREAM*) {}
void mm_nocritical(MAILSTREAM*) {}

void mm_list(MAILSTREAM*, int, char* name, long) {
  if (name != nullptr) printf("%s\n", name);
}

void mm_notify(MAILSTREAM*, char* string, long errflg) {
  if (errflg != ERROR || string == nullptr) return;
  tLastMessage.SetAs(string);
  koString status;
  status.Format("[ERROR] %s", string);
  SetStatus(status.GetString(), 1);
  KO_LOG(-1, status.GetString());
}

void mm_log(char* string, long errflg) {
  if (string == nullptr) return;
  koString status;
  koString record;
  int force;
  if (errflg == WARN) {
    status.SetAs(string);
    if (strncasecmp(string, "[ALERT]", 7) == 0) {
      status.SetAs(string + 7);
      status.TrimLeft();
    }
    record.Format("[WARN]: %s", string);
    force = 1;
  } else if (errflg == ERROR) {
    status.SetAs(string);
    record.Format("[ERROR]: %s", string);
    force = 0;
  } else {
    return;
  }
  tLastMessage.SetAs(string);
  if (status.GetLength() == 0) return;
  KO_LOG(-1, record.GetString());
  SetStatus(status.GetString(), force);
}

void mm_dlog(char* string) {
  if (string != nullptr) KO_LOG(-1, string);
}

void mm_login(NETMBX* mb, char* user, char* pwd, long trial) {
  (void)trial;
  koString name;
  MailLoginUserName(mb->user, name);
  // The library's user buffer holds a user name of at most NETMAXUSER - 1
  // characters (it refuses longer ones); the password buffer is MAILTMPLEN.
  snprintf(user, NETMAXUSER, "%s", name.GetString());
  snprintf(pwd, MAILTMPLEN, "%s", tLoginPassword.GetString());
}

void mm_fatal(char* string) {
  koString text;
  text.Format("?%s", string ? string : "");
  KO_LOG(-1, text.GetString());
}

long mm_diskerror(MAILSTREAM*, long, long) { abort(); }

void mm_xlist(MAILSTREAM*, char* text) {
  koString name;
  int kind = 0;
  if (text != nullptr && ParseXlistReply(text, name, &kind))
    if (gConfigMgr) gConfigMgr->SetSpecialFolderByThread(koCurrentThreadId(), name.GetString(), kind);
}

long mm_proxysettings(PROXYINFO* info) {
  ProxySettings stored;
  if (gConfigMgr) gConfigMgr->GetProxySettings(stored);
  memset(info, 0, sizeof(*info));
  info->type = stored.type;
  if (info->type == kProxyDirect) return 1;
  if (info->type == kProxyAuto) {
    koString url("imaps://");
    koString host;
    ConfigMgr::GetImapHost(host);
    url.Append(host);
    int found = 0;
    koString proxy;
    GetProxySettingsAuto(url.GetString(), &found, proxy);
    if (!found) {
      info->type = kProxyDirect;
      return 1;
    }
    if (strncasecmp(proxy.GetString(), "HTTP", 4) == 0) {
      info->type = kProxyHttp;
    } else if (strncasecmp(proxy.GetString(), "SOCKS", 5) == 0) {
      info->type = kProxySocks5;
    } else {
      // Neither: the type stays automatic and the open fails on it.
      return 1;
    }
    ParseProxyUrl(proxy.GetString(), info);
  } else {
    CopyField(info->host, sizeof(info->host), stored.host.GetString());
    info->port = stored.port;
  }
  if (stored.secure != 0) {
    CopyField(info->user, sizeof(info->user), stored.user.GetString());
    CopyField(info->password, sizeof(info->password), stored.password.GetString());
  }
  return 1;
}

}  // extern "C"
