#include "app/store/configrecords.h"

const char* const kStatusConnecting = "Connecting...";

void AccountInfo::Assign(const AccountInfo& o) {
  if (this == &o) return;
  id = o.id;
  email.SetAs(o.email);
  password.SetAs(o.password);
  mailIndexingStatus = o.mailIndexingStatus;
  threadId = o.threadId;
  mailStatus.SetAs(o.mailStatus);
  contactStatus.SetAs(o.contactStatus);
  downloadAll = o.downloadAll;
  mailTotal = o.mailTotal;
  mailProcessed = o.mailProcessed;
  downloadSince = o.downloadSince;
  attachmentProcessed = o.attachmentProcessed;
  attachmentTotal = o.attachmentTotal;
  attachmentIndexingStatus = o.attachmentIndexingStatus;
  contactUpdatedTime = o.contactUpdatedTime;
  contactAuthToken.SetAs(o.contactAuthToken);
  mailUpdatedTime = o.mailUpdatedTime;
  downloadAttachments = o.downloadAttachments;
  allMailFolder.SetAs(o.allMailFolder);
  trashFolder.SetAs(o.trashFolder);
  spamFolder.SetAs(o.spamFolder);
}

void AccountInfo::Clear() {
  static const AccountInfo kEmpty;
  Assign(kEmpty);
}

void Preferences::Assign(const Preferences& o) {
  if (this == &o) return;
  show_inline_images = o.show_inline_images;
  show_recv_attachments = o.show_recv_attachments;
  show_sender_emails = o.show_sender_emails;
  sidebar_activetab.SetAs(o.sidebar_activetab);
  active_group.SetAs(o.active_group);
  active_contacttype.SetAs(o.active_contacttype);
  contacts_perpage = o.contacts_perpage;
  files_perpage = o.files_perpage;
  context_type = o.context_type;
  sidebar_lock = o.sidebar_lock;
}

void Preferences::SetDefaults() {
  show_inline_images = 0;
  show_recv_attachments = 1;
  show_sender_emails = 0;
  sidebar_activetab.SetAs("contact");
  active_group.SetAs("My Contacts");
  active_contacttype.SetAs("All");
  contacts_perpage = 30;
  files_perpage = 10;
  context_type = 0;
  sidebar_lock = 0;
}

void ProxySettings::Assign(const ProxySettings& o) {
  if (this == &o) return;
  type = o.type;
  port = o.port;
  secure = o.secure;
  host.SetAs(o.host);
  user.SetAs(o.user);
  password.SetAs(o.password);
}

void ProxySettings::SetDefaults() {
  type = 1;
  port = -1;
  secure = 0;
  host.Clear();
  user.Clear();
  password.Clear();
}
