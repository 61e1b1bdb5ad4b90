// Contact: one contacts-service Atom entry, read and changed in place.
// ContactField / ContactFields: the builders of a new entry's XML text.
//
// A Contact either owns the document it parsed (Load) or points at an entry
// of a feed document that its caller owns (SetEntry); the destructor deletes
// only an owned document. Texts handed out are copies.
//
// XML goes through TinyXML with white-space condensing switched off, which
// the program does once at start-up (TiXmlBase::SetCondenseWhiteSpace(false))
// before any thread parses; element and attribute names are matched exactly,
// prefixes included ("gd:email"), and the attribute values tested ("edit",
// "true", the extended property's name) ignoring ASCII case.
//
// Not thread-safe: a Contact and the document it points into belong to one
// thread at a time.
#ifndef PV_APP_STORE_CONTACT_H
#define PV_APP_STORE_CONTACT_H

#include <cstdint>

#include "core/kstring.h"

class TiXmlDocument;
class TiXmlElement;

class Contact {
 public:
  Contact();
  ~Contact();
  Contact(const Contact&) = delete;
  Contact& operator=(const Contact&) = delete;

  // Points the contact at `entry`, which stays owned by the caller's feed
  // document and must outlive this use. A document the contact owned is
  // dropped first, unless `entry` lies in it. Always 1.
  int SetEntry(TiXmlElement* entry);

  // Parses `text` (UTF-8) into a document of its own whose root must be
  // "entry" (any letter case). 1 on success; on failure the contact has no
  // entry and may be loaded again. A text that is not XML fails unlogged.
  int Load(const char* text);
  int Load(const koString& text);

  // Getters: 1 and the value when the element (or attribute) is there, else
  // 0 and an empty value. Texts are the decoded character data.
  int GetId(koString& out) const;
  // Without white space at either end.
  int GetTitle(koString& out) const;
  // The notes.
  int GetContent(koString& out) const;
  // href of the first link whose rel is "edit".
  int GetEditUrl(koString& out) const;
  // href and gd:etag of the first photo link.
  int GetPhotoUrl(koString& out) const;
  int GetPhotoEtag(koString& out) const;

  int GetEmailCount() const;
  int GetPhoneCount() const;
  int GetGroupCount() const;
  // Tags of the system's extended property.
  int GetTagCount() const;

  // The i-th (from 0) item in document order; 0 when there is none.
  // GetEmail: address may be empty when the element has none; *primary is
  // 1 only when the primary attribute is "true".
  int GetEmail(int i, koString& address, int* primary /* OUT */) const;
  int GetPhone(int i, koString& out) const;
  int GetGroupMembership(int i, koString& href) const;
  // *deleted is 1 when the membership carries deleted="true".
  int IsGroupDeleted(int i, int* deleted /* OUT */) const;
  int GetTag(int i, koString& out) const;

  // The extended property's mark, 0 when it has none. Always 1.
  int GetMark(int* mark /* OUT */) const;
  // 1 when the service marked the entry deleted.
  int IsDeleted() const;
  // The first gd:extendedProperty named "Brantlow.Postvane" or "Postvane";
  // null when there is none. Owned by the document.
  TiXmlElement* GetExtendedProperty() const;

  // The owned document as XML text, every text and attribute value encoded
  // exactly once. 0 (out empty) when the contact owns no document.
  int ToXmlString(koString& out) const;

  // Makes `notes` (raw text, encoded only when printed) the whole text of
  // the content element, adding the element as the entry's last child when
  // it is missing. 0 without an entry.
  int SetContent(const char* notes);
  // Appends <gContact:groupMembershipInfo href="..."/> as the last child.
  int AddGroupMembership(const char* href);
  // Puts the gd:extendedProperty element given as XML text in place of the
  // system's own, as the entry's last child, then reloads the printed result
  // so the source text matches. Needs a contact filled by Load.
  int ReplaceExtendedProperty(const char* xml);

 private:
  TiXmlElement* entry_ = nullptr;  // into doc_, or into a caller's feed
  koString source_;                // the text last loaded
  TiXmlDocument* doc_ = nullptr;   // owned; null after SetEntry
};

// The system's extended property of a new or changed entry: the mark and
// the <tag> elements appended so far.
class ContactField {
 public:
  ContactField() = default;
  void SetValue(int32_t mark) { mark_ = mark; }
  int32_t GetValue() const { return mark_; }

 private:
  friend void FormatTagXml(ContactField& field, const char* tag);
  friend void FormatExtendedPropertyXml(const ContactField& field, koString& out);

  int32_t mark_ = 0;
  koString tags_xml_;
};

// Appends <tag>escaped tag</tag>.
void FormatTagXml(ContactField& field, const char* tag);
// out = the whole gd:extendedProperty element with the mark and the tags.
void FormatExtendedPropertyXml(const ContactField& field, koString& out);

// The parts of a new entry, each a piece of XML text.
class ContactFields {
 public:
  ContactFields() = default;
  ContactField& GetMarkField() { return mark_field_; }

  // The name part becomes gd:name/gd:fullName holding the escaped name.
  void FormatNameXml(const char* name);
  // Appends one gd:email. `kind` ("home", "work", ...) is the tail of the
  // rel URL and is inserted as given: callers pass fixed words only.
  void FormatEmailXml(const char* address, const char* kind, int primary);
  // The notes part becomes a text content element holding the escaped notes.
  void FormatContentXml(const char* notes);
  // out = the XML text of the whole new entry.
  void BuildContactEntryXml(koString& out) const;

 private:
  koString name_xml_;
  koString emails_xml_;
  koString notes_xml_;
  koString system_group_xml_;  // no caller fills it; kept for the entry's order
  ContactField mark_field_;
};

// Appends `in` to out with ", &, < and > replaced by their entities; every
// other byte (UTF-8, apostrophe) is copied as it is.
void XmlEscape(const char* in, koString& out);

#endif  // PV_APP_STORE_CONTACT_H
