#include "app/web/objectbase.h"

#include "app/store/configmgr.h"

ObjectBase::ObjectBase(koHttpConnection* connection, int argument)
    : response_(kBufferCapacity),
      connection_(connection),
      argument_(argument),
      buffer1_(kBufferCapacity),
      buffer2_(kBufferCapacity),
      buffer3_(kBufferCapacity),
      buffer4_(kBufferCapacity),
      buffer5_(kBufferCapacity) {}

ObjectBase::~ObjectBase() = default;

int ObjectBase::SetRedirect(const char* address) {
  redirect_.SetAs(address != nullptr ? address : "");
  return 1;
}

void ObjectBase::SendResponse() {
  // The head goes out in one piece: the bytes are those of the answer's
  // lines written one after the other, without a packet for each.
  koString head;
  if (redirect_.GetLength() > 0) {
    head += "HTTP/1.0 302 Found\r\n";
    head += "Location: ";
    head += redirect_;
    head += "\r\n\r\n";
    connection_->Send(head);
    return;
  }
  head += "HTTP/1.0 200 OK\r\n";
  head += "Cache-Control: no-cache\r\n";
  head += "Pragma: no-cache\r\n";
  head += "Expires: 0\r\n";
  head += "charset: UTF8\r\n";
  if (connection_->GetMethod() == koHttpConnection::kMethodGet) {
    head.AppendFormat("%s: %d\r\n", "Content-Length", static_cast<int>(response_.GetLength()));
  }
  if (content_kind_ == kContentHtml) {
    head += "Content-Type: text/html\r\n";
  } else if (content_kind_ == kContentPlain) {
    head += "Content-Type: text/plain\r\n";
  }
  head += "\r\n";
  if (!connection_->Send(head)) return;
  connection_->Send(response_);
}

void ObjectBase::AppendJsonText(koString& out, const char* format, const char* text) {
  koString escaped(text != nullptr ? text : "");
  escaped.JsonEscape();
  out.AppendFormat(format, escaped.GetString());
}

int ObjectBase::IndexingValue(const AccountInfo& account) {
  bool attachments = account.downloadAttachments != 0;
  if (account.mailIndexingStatus == 1 && (!attachments || account.attachmentIndexingStatus == 1)) {
    return 100;
  }
  // 64-bit: done * 100 must not overflow for large mailboxes.
  int64_t total = account.mailTotal;
  int64_t done = account.mailProcessed;
  if (attachments) {
    total += 2 * static_cast<int64_t>(account.attachmentTotal);
    done += 2 * static_cast<int64_t>(account.attachmentProcessed);
  }
  if (total < done) return 99;
  if (total != 0) return static_cast<int>(done * 100 / total);
  return 0;
}

void ObjectBase::AppendAccountJson(koString& out, const AccountInfo& account, int filterAccountId,
                                   int brief) {
  koString email;
  email.SetAs(account.email);
  email.JsonEscape();
  int64_t since = account.downloadSince * 1000;
  out += "{";
  out.AppendFormat("\"AccountId\":%d,", account.id);
  out.AppendFormat("\"Email\":\"%s\",", email.GetString());
  out.AppendFormat("\"IsAllMails\":%d,", account.downloadAll);
  out.AppendFormat("\"IsDownloadAttchments\":%d,", account.downloadAttachments);
  out.AppendFormat("\"DownloadSince\":%I64d,", since);
  out.AppendFormat("\"IsPrimary\":%d", account.id == filterAccountId ? 1 : 0);
  if (brief) {
    out += "}";
    return;
  }
  koString mailStatus;
  mailStatus.SetAs(account.mailStatus);
  mailStatus.JsonEscape();
  koString contactStatus;
  contactStatus.SetAs(account.contactStatus);
  contactStatus.JsonEscape();
  out.AppendFormat(",\"ImapErrorMsg\":\"%s\",", mailStatus.GetString());
  out.AppendFormat("\"ContactErrorMsg\":\"%s\",", contactStatus.GetString());
  out.AppendFormat("\"IndexingValue\":%d,", IndexingValue(account));
  out.AppendFormat("\"IndexStatus\":%d,", account.mailIndexingStatus);
  out.AppendFormat("\"ContactUpdatedTime\":%I64d,", account.contactUpdatedTime * 1000);
  out.AppendFormat("\"MailUpdatedTime\":%I64d,", account.mailUpdatedTime * 1000);
  out.AppendFormat("\"DownloadSince\":%I64d,", since);
  // The counts behind IndexingValue, so that a page can say "N of M mails".
  out.AppendFormat("\"MailProcessed\":%d,\"MailTotal\":%d,", account.mailProcessed, account.mailTotal);
  out.AppendFormat("\"AttachmentProcessed\":%d,\"AttachmentTotal\":%d}", account.attachmentProcessed,
                   account.attachmentTotal);
}

int ObjectBase::AppendAccountJsonByIndex(int index, koString& out, int brief) {
  if (gConfigMgr == nullptr) return 0;
  Preferences preferences;
  gConfigMgr->GetPreferences(preferences);
  AccountInfo account;
  if (!gConfigMgr->GetAccountAt(index, account)) return 0;
  AppendAccountJson(out, account, preferences.context_type, brief);
  return 1;
}

int ObjectBase::GetAccountsJson(koString& out, int accountId, int brief) {
  out.SetAs("[");
  if (gConfigMgr == nullptr) return 0;
  if (accountId != 0) {
    AccountInfo account;
    if (gConfigMgr->GetAccountById(accountId, account)) {
      Preferences preferences;
      gConfigMgr->GetPreferences(preferences);
      AppendAccountJson(out, account, preferences.context_type, brief);
    }
  } else {
    // An account removed while the list is read is left out, not answered
    // as a failure: the list must stay a list while accounts change.
    int count = gConfigMgr->GetAccountCount();
    bool first = true;
    for (int i = 0; i < count; ++i) {
      koString one;
      if (!AppendAccountJsonByIndex(i, one, brief)) continue;
      if (!first) out += ",";
      first = false;
      out += one;
    }
  }
  out += "]";
  return 1;
}
