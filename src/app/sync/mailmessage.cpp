#include "app/sync/mailmessage.h"

#include <cstring>
#include <strings.h>

extern "C" {
#include <c-client/c-client.h>
}

namespace {

// The provider's two mail domains: an account at one also receives and
// sends as the same local part at the other.
const char* const kProviderDomains[2] = {"gmail.com", "googlemail.com"};

// "mailbox@host" of an address.
void AddressText(const ADDRESS* address, koString& out) {
  out.Format("%s@%s", address->mailbox ? address->mailbox : "", address->host ? address->host : "");
}

}  // namespace

MailMessage::MailMessage() = default;

MailMessage::~MailMessage() { Clear(); }

void MailMessage::SetAccountEmail(const char* address) {
  account_.SetAs(address);
  alias_.Clear();
  for (int i = 0; i < 2; ++i) {
    const char* domain = kProviderDomains[i];
    koString label("@");
    label.Append(domain, static_cast<int>(strcspn(domain, ".")));
    if (account_.FindNoCase(label.GetString(), 0) < 0) continue;
    koString local;
    koString rest(address);
    rest.CutToken("@", local);
    alias_.Format("%s@%s", local.GetString(), kProviderDomains[1 - i]);
    return;
  }
}

int MailMessage::Parse(const char* text, uint32_t length, int noDeliveredTo) {
  Clear();
  bodyText_.Clear();
  const char* end = static_cast<const char*>(memmem(text, length, "\r\n\r\n", 4));
  uint32_t headerLength = end ? static_cast<uint32_t>(end - text) : length;
  header_.SetAs(text, static_cast<int>(headerLength));
  if (end) bodyText_.SetAs(end + 4, static_cast<int>(length - headerLength - 4));

  // The parser works on its own copy of the header; the body it only reads.
  koString scratch;
  scratch.SetAs(header_);
  STRING bs;
  INIT(&bs, mail_string, const_cast<char*>(bodyText_.GetString()), bodyText_.GetLength());
  rfc822_parse_msg_full(&envelope_, &body_, const_cast<char*>(scratch.GetString()), scratch.GetLength(), &bs,
                        const_cast<char*>(""), 0, 0);
  SetDirection(noDeliveredTo);
  return 1;
}

void MailMessage::Clear() {
  if (envelope_) mail_free_envelope(&envelope_);
  if (body_) mail_free_body(&body_);
  envelope_ = nullptr;
  body_ = nullptr;
  header_.Clear();
}

void MailMessage::SetDirection(int noDeliveredTo) {
  direction_ = kReceived;
  if (envelope_ == nullptr || envelope_->from == nullptr) return;
  koString from;
  AddressText(envelope_->from, from);
  if (from.EqualsNoCase(account_.GetString()) ||
      (alias_.GetLength() > 0 && from.EqualsNoCase(alias_.GetString()))) {
    direction_ = kSent;
    return;
  }
  if (envelope_->sender != nullptr) {
    koString sender;
    AddressText(envelope_->sender, sender);
    // Sent on the account's behalf: its own spelling only.
    if (!sender.EqualsNoCase(from.GetString()) &&
        (strcmp(sender.GetString(), account_.GetString()) == 0 ||
         (alias_.GetLength() > 0 && strcmp(sender.GetString(), alias_.GetString()) == 0))) {
      direction_ = kSent;
      return;
    }
  }
  const char* head = header_.GetString();
  while (*head == ' ' || *head == '\t' || *head == '\r' || *head == '\n') ++head;
  if (strncasecmp(head, "MIME-Version: 1.0", 17) == 0 && noDeliveredTo == 0) direction_ = kSent;
}

BODY* MailMessage::GetBodyStructure() const {
  if (body_ == nullptr || body_->type > TYPEMAX) return nullptr;
  return body_;
}

void MailMessage::GetSubject(koString& out) const {
  out.Clear();
  if (envelope_ == nullptr || envelope_->subject == nullptr) return;
  DecodeMimeHeader(envelope_->subject, out);
}

void MailMessage::CopyBody(unsigned long offset, unsigned long size, koString& out) const {
  out.Clear();
  // Offsets come from the parser of untrusted text: never read past the end.
  unsigned long total = bodyText_.GetLength();
  if (offset >= total) return;
  if (size > total - offset) size = total - offset;
  out.SetAs(bodyText_.GetString() + offset, static_cast<int>(size));
}

void MailMessage::GetSectionText(const BODY* part, koString& out) const {
  if (part == nullptr) {
    out.Clear();
    return;
  }
  CopyBody(part->contents.offset, part->contents.text.size, out);
}

void MailMessage::GetPartText(const BODY* part, koString& out) const {
  if (part == nullptr || part == body_) {
    out.Clear();
    return;
  }
  CopyBody(part->mime.offset, part->mime.text.size, out);
}

void MailMessage::GetRawText(koString& out) const { out.SetAs(header_); }

void MailMessage::DecodeMimeHeader(const char* value, koString& out) {
  // The decoder may write into its input while it works: give it a copy.
  koString copy(value);
  SIZEDTEXT src;
  SIZEDTEXT dst;
  src.data = reinterpret_cast<unsigned char*>(const_cast<char*>(copy.GetString()));
  src.size = copy.GetLength();
  dst.data = nullptr;
  dst.size = 0;
  out.Clear();
  if (utf8_mime2text(&src, &dst, 0) && dst.data != nullptr)
    out.SetAs(reinterpret_cast<const char*>(dst.data), static_cast<int>(dst.size));
  if (dst.data != nullptr && dst.data != src.data) fs_give(reinterpret_cast<void**>(&dst.data));
  if (out.GetLength() == 0) out.SetAs("(no subject)");
}
