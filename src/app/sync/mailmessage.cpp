#include "app/sync/mailmessage.h"

#include <cstring>
#include <strings.h>
#include <utility>
#include <vector>

#include "app/sync/mimetext.h"

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

// True when some "boundary=" in text is followed by an unquoted value: only
// then can a part header need the repair below.
bool HasBareBoundary(const koString& text) {
  for (int at = text.FindNoCase("boundary", 0); at >= 0; at = text.FindNoCase("boundary", at + 8)) {
    const char* p = text.GetString() + at + 8;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p != '=') continue;
    ++p;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p != '"') return true;
  }
  return false;
}

// Adds the boundary of a multipart header block to the list.
void AddBoundary(const koString& header, std::vector<koString>& boundaries) {
  koString type;
  koString boundary;
  if (MimeText::GetField(header.GetString(), header.GetLength(), "Content-Type", type) &&
      strncasecmp(type.GetString(), "multipart/", 10) == 0 &&
      MimeText::GetParameter(type, "boundary", boundary)) {
    boundaries.push_back(std::move(boundary));
  }
}

// The line [p, stop) opens a part of one of the boundaries ("--b--" closes).
bool OpensPart(const char* p, const char* stop, const std::vector<koString>& boundaries) {
  if (stop - p < 2 || p[0] != '-' || p[1] != '-') return false;
  for (const koString& b : boundaries) {
    size_t n = b.GetLength();
    if (static_cast<size_t>(stop - p - 2) < n || memcmp(p + 2, b.GetString(), n) != 0) continue;
    const char* rest = p + 2 + n;
    if (stop - rest >= 2 && rest[0] == '-' && rest[1] == '-') return false;
    while (rest < stop && (*rest == ' ' || *rest == '\t')) ++rest;
    if (rest == stop) return true;
  }
  return false;
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
  // Mailers that leave a boundary holding '=' unquoted would lose every part.
  MimeText::QuoteBoundaries(scratch);
  // Obsolete and sloppy address lists and dates would lose addresses or the date.
  MimeText::RepairHeader(scratch);
  if (HasBareBoundary(bodyText_)) QuoteNestedBoundaries(scratch);
  STRING bs;
  INIT(&bs, mail_string, const_cast<char*>(bodyText_.GetString()), bodyText_.GetLength());
  rfc822_parse_msg_full(&envelope_, &body_, const_cast<char*>(scratch.GetString()), scratch.GetLength(), &bs,
                        const_cast<char*>(""), 0, 0);
  SetDirection(noDeliveredTo);
  return 1;
}

void MailMessage::QuoteNestedBoundaries(const koString& header) {
  std::vector<koString> boundaries;
  AddBoundary(header, boundaries);
  if (boundaries.empty()) return;
  // Only the header blocks that follow a delimiter of a known boundary are
  // touched, never the contents of a part.
  koString out;
  int changed = 0;
  const char* p = bodyText_.GetString();
  const char* end = p + bodyText_.GetLength();
  bool inHeader = false;
  koString block;
  while (p < end) {
    const char* eol = static_cast<const char*>(memchr(p, '\n', end - p));
    const char* next = eol != nullptr ? eol + 1 : end;
    const char* stop = eol != nullptr ? eol : end;
    if (stop > p && stop[-1] == '\r') --stop;
    if (inHeader) {
      block.Append(p, static_cast<int>(next - p));
      if (stop == p || next == end) {
        changed |= MimeText::QuoteBoundaries(block);
        AddBoundary(block, boundaries);
        out.Append(block);
        block.Clear();
        inHeader = false;
      }
    } else {
      out.Append(p, static_cast<int>(next - p));
      inHeader = OpensPart(p, stop, boundaries);
    }
    p = next;
  }
  if (changed) bodyText_ = std::move(out);
}

void MailMessage::TakeFrom(MailMessage& other) {
  Clear();
  envelope_ = other.envelope_;
  body_ = other.body_;
  other.envelope_ = nullptr;
  other.body_ = nullptr;
  header_ = std::move(other.header_);
  bodyText_ = std::move(other.bodyText_);
  direction_ = other.direction_;
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
  MimeText::DecodeWords(value, static_cast<uint32_t>(strlen(value)), out);
  if (out.GetLength() == 0) out.SetAs("(no subject)");
}
