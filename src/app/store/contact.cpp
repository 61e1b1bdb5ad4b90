#include "app/store/contact.h"

#include <tinyxml.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "core/klog.h"

namespace {

const char kAtomNs[] = "http://www.w3.org/2005/Atom";
const char kContactNs[] = "http://schemas.google.com/contact/2008";
const char kBatchNs[] = "http://schemas.google.com/gdata/batch";
const char kGdNs[] = "http://schemas.google.com/g/2005";
const char kPhotoRel[] = "http://schemas.google.com/contacts/2008/rel#photo";

const char kEmail[] = "gd:email";
const char kPhone[] = "gd:phoneNumber";
const char kGroup[] = "gContact:groupMembershipInfo";
const char kExtendedProperty[] = "gd:extendedProperty";

// Attribute values from the service are compared ignoring ASCII case only;
// the C library's variant would follow the locale.
bool EqualsNoCase(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return false;
  for (;; ++a, ++b) {
    unsigned char ca = static_cast<unsigned char>(*a);
    unsigned char cb = static_cast<unsigned char>(*b);
    if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca + 32);
    if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb + 32);
    if (ca != cb) return false;
    if (ca == 0) return true;
  }
}

// All character data directly inside `e`: a CDATA section splits the text
// into several nodes, and the notes must come back whole.
void ElementText(const TiXmlElement* e, koString& out) {
  for (const TiXmlNode* n = e->FirstChild(); n != nullptr; n = n->NextSibling()) {
    const TiXmlText* t = n->ToText();
    if (t != nullptr) out += t->Value();
  }
}

// The i-th child element of `parent` named `name`, or null.
const TiXmlElement* NthChild(const TiXmlElement* parent, const char* name, int i) {
  if (parent == nullptr || i < 0) return nullptr;
  const TiXmlElement* e = parent->FirstChildElement(name);
  for (; e != nullptr && i > 0; --i) e = e->NextSiblingElement(name);
  return e;
}

int CountChildren(const TiXmlElement* parent, const char* name) {
  int n = 0;
  if (parent == nullptr) return 0;
  for (const TiXmlElement* e = parent->FirstChildElement(name); e != nullptr;
       e = e->NextSiblingElement(name)) {
    ++n;
  }
  return n;
}

// The first `link` child whose rel matches, or null.
const TiXmlElement* FindLink(const TiXmlElement* entry, const char* rel) {
  if (entry == nullptr) return nullptr;
  for (const TiXmlElement* e = entry->FirstChildElement("link"); e != nullptr;
       e = e->NextSiblingElement("link")) {
    if (EqualsNoCase(e->Attribute("rel"), rel)) return e;
  }
  return nullptr;
}

bool IsOurProperty(const TiXmlElement* e) {
  const char* name = e->Attribute("name");
  return EqualsNoCase(name, "Brantlow.Postvane") || EqualsNoCase(name, "Postvane");
}

int ChildText(const TiXmlElement* parent, const char* name, koString& out) {
  out.Clear();
  const TiXmlElement* e = parent != nullptr ? parent->FirstChildElement(name) : nullptr;
  if (e == nullptr) return 0;
  ElementText(e, out);
  return 1;
}

int AttributeText(const TiXmlElement* e, const char* name, koString& out) {
  out.Clear();
  const char* value = e != nullptr ? e->Attribute(name) : nullptr;
  if (value == nullptr) return 0;
  out += value;
  return 1;
}

// Prints a document with our own encoding: the library's printer copies any
// text that starts with "&#x" unencoded up to the next ';', so notes such as
// "&#x<tag>" would come out as markup or as broken XML.
class XmlWriter : public TiXmlVisitor {
 public:
  explicit XmlWriter(koString& out) : out_(out) {}

  bool VisitEnter(const TiXmlElement& e, const TiXmlAttribute* a) override {
    out_ += "<";
    out_ += e.Value();
    for (; a != nullptr; a = a->Next()) {
      out_ += " ";
      out_ += a->Name();
      out_ += "=\"";
      Encode(a->Value(), true);
      out_ += "\"";
    }
    out_ += e.FirstChild() != nullptr ? ">" : " />";
    return true;
  }
  bool VisitExit(const TiXmlElement& e) override {
    if (e.FirstChild() != nullptr) {
      out_ += "</";
      out_ += e.Value();
      out_ += ">";
    }
    return true;
  }
  bool Visit(const TiXmlText& t) override {
    Encode(t.Value(), false);
    return true;
  }
  bool Visit(const TiXmlDeclaration& d) override {
    out_ += "<?xml";
    Pseudo("version", d.Version());
    Pseudo("encoding", d.Encoding());
    Pseudo("standalone", d.Standalone());
    out_ += " ?>";
    return true;
  }
  bool Visit(const TiXmlComment& c) override {
    out_ += "<!--";
    out_ += c.Value();
    out_ += "-->";
    return true;
  }
  bool Visit(const TiXmlUnknown& u) override {
    out_ += "<";
    out_ += u.Value();
    out_ += ">";
    return true;
  }

 private:
  void Pseudo(const char* name, const char* value) {
    if (value == nullptr || *value == 0) return;
    out_.AppendFormat(" %s=\"", name);
    Encode(value, true);
    out_ += "\"";
  }

  // Line breaks and tabs inside attribute values would be normalised to
  // blanks by the reader, and a carriage return anywhere is dropped, so those
  // go out as character references.
  void Encode(const char* s, bool attribute) {
    if (s == nullptr) return;
    const char* run = s;
    for (; *s != 0; ++s) {
      unsigned char c = static_cast<unsigned char>(*s);
      const char* entity = nullptr;
      char ref[8];
      switch (c) {
        case '&': entity = "&amp;"; break;
        case '<': entity = "&lt;"; break;
        case '>': entity = "&gt;"; break;
        case '"': entity = "&quot;"; break;
        default:
          if (c < 0x20 && (attribute || (c != '\n' && c != '\t'))) {
            snprintf(ref, sizeof(ref), "&#x%X;", c);
            entity = ref;
          }
      }
      if (entity == nullptr) continue;
      out_.Append(run, static_cast<int>(s - run));
      out_ += entity;
      run = s + 1;
    }
    out_.Append(run, static_cast<int>(s - run));
  }

  koString& out_;
};

}  // namespace

void XmlEscape(const char* in, koString& out) {
  if (in == nullptr) return;
  const char* run = in;
  const char* p = in;
  for (; *p != 0; ++p) {
    const char* entity = nullptr;
    switch (*p) {
      case '"': entity = "&quot;"; break;
      case '&': entity = "&amp;"; break;
      case '<': entity = "&lt;"; break;
      case '>': entity = "&gt;"; break;
      default: continue;
    }
    out.Append(run, static_cast<int>(p - run));
    out += entity;
    run = p + 1;
  }
  out.Append(run, static_cast<int>(p - run));
}

Contact::Contact() = default;

Contact::~Contact() { delete doc_; }

int Contact::SetEntry(TiXmlElement* entry) {
  // An entry inside our own document must keep that document alive.
  if (doc_ != nullptr && (entry == nullptr || entry->GetDocument() != doc_)) {
    delete doc_;
    doc_ = nullptr;
    source_.Clear();
  }
  entry_ = entry;
  return 1;
}

int Contact::Load(const koString& text) { return Load(text.GetString()); }

int Contact::Load(const char* text) {
  // The text may be our own source, which SetAs would overwrite while reading.
  koString copy(text != nullptr ? text : "");
  source_.SetAs(copy);
  entry_ = nullptr;
  delete doc_;
  doc_ = new TiXmlDocument();
  doc_->Parse(source_.GetString(), nullptr, TIXML_ENCODING_UTF8);
  TiXmlElement* root = doc_->Error() ? nullptr : doc_->RootElement();
  if (root != nullptr && EqualsNoCase(root->Value(), "entry")) {
    entry_ = root;
    return 1;
  }
  // Not XML at all is the caller's to report; a wrong document is ours.
  if (!doc_->Error()) KO_LOG(-1, root == nullptr ? "Invalid contact root" : "Invalid contact");
  delete doc_;
  doc_ = nullptr;
  return 0;
}

int Contact::GetId(koString& out) const { return ChildText(entry_, "id", out); }

int Contact::GetTitle(koString& out) const {
  int found = ChildText(entry_, "title", out);
  out.Trim();
  return found;
}

int Contact::GetContent(koString& out) const { return ChildText(entry_, "content", out); }

int Contact::GetEditUrl(koString& out) const {
  return AttributeText(FindLink(entry_, "edit"), "href", out);
}

int Contact::GetPhotoUrl(koString& out) const {
  return AttributeText(FindLink(entry_, kPhotoRel), "href", out);
}

int Contact::GetPhotoEtag(koString& out) const {
  return AttributeText(FindLink(entry_, kPhotoRel), "gd:etag", out);
}

int Contact::GetEmailCount() const { return CountChildren(entry_, kEmail); }

int Contact::GetPhoneCount() const { return CountChildren(entry_, kPhone); }

int Contact::GetGroupCount() const { return CountChildren(entry_, kGroup); }

int Contact::GetTagCount() const { return CountChildren(GetExtendedProperty(), "tag"); }

int Contact::GetEmail(int i, koString& address, int* primary) const {
  *primary = 0;
  const TiXmlElement* e = NthChild(entry_, kEmail, i);
  AttributeText(e, "address", address);
  if (e == nullptr) return 0;
  *primary = EqualsNoCase(e->Attribute("primary"), "true") ? 1 : 0;
  return 1;
}

int Contact::GetPhone(int i, koString& out) const {
  out.Clear();
  const TiXmlElement* e = NthChild(entry_, kPhone, i);
  if (e == nullptr) return 0;
  ElementText(e, out);
  return 1;
}

int Contact::GetGroupMembership(int i, koString& href) const {
  const TiXmlElement* e = NthChild(entry_, kGroup, i);
  AttributeText(e, "href", href);
  return e != nullptr ? 1 : 0;
}

int Contact::IsGroupDeleted(int i, int* deleted) const {
  const TiXmlElement* e = NthChild(entry_, kGroup, i);
  *deleted = e != nullptr && EqualsNoCase(e->Attribute("deleted"), "true") ? 1 : 0;
  return e != nullptr ? 1 : 0;
}

int Contact::GetTag(int i, koString& out) const {
  out.Clear();
  const TiXmlElement* e = NthChild(GetExtendedProperty(), "tag", i);
  if (e == nullptr) return 0;
  ElementText(e, out);
  return 1;
}

int Contact::GetMark(int* mark) const {
  *mark = 0;
  koString text;
  if (!ChildText(GetExtendedProperty(), "mark", text)) return 1;
  // A mark beyond the int range from another writer must not wrap around.
  long value = strtol(text.GetString(), nullptr, 10);
  if (value > INT_MAX) value = INT_MAX;
  if (value < INT_MIN) value = INT_MIN;
  *mark = static_cast<int>(value);
  return 1;
}

int Contact::IsDeleted() const {
  return entry_ != nullptr && entry_->FirstChildElement("gd:deleted") != nullptr ? 1 : 0;
}

TiXmlElement* Contact::GetExtendedProperty() const {
  if (entry_ == nullptr) return nullptr;
  for (TiXmlElement* e = entry_->FirstChildElement(kExtendedProperty); e != nullptr;
       e = e->NextSiblingElement(kExtendedProperty)) {
    if (IsOurProperty(e)) return e;
  }
  return nullptr;
}

int Contact::ToXmlString(koString& out) const {
  out.Clear();
  if (doc_ == nullptr) return 0;
  XmlWriter writer(out);
  doc_->Accept(&writer);
  return 1;
}

int Contact::SetContent(const char* notes) {
  if (entry_ == nullptr) return 0;
  TiXmlElement* content = entry_->FirstChildElement("content");
  if (content == nullptr) {
    content = new TiXmlElement("content");
    entry_->LinkEndChild(content);
  }
  // Any earlier text, CDATA pieces included, is replaced as a whole.
  content->Clear();
  content->LinkEndChild(new TiXmlText(notes != nullptr ? notes : ""));
  return 1;
}

int Contact::AddGroupMembership(const char* href) {
  if (entry_ == nullptr) return 0;
  TiXmlElement* e = new TiXmlElement(kGroup);
  e->SetAttribute("href", href != nullptr ? href : "");
  entry_->LinkEndChild(e);
  return 1;
}

int Contact::ReplaceExtendedProperty(const char* xml) {
  koString text("<?xml version='1.0' encoding='utf-8'?>");
  text += xml;
  TiXmlDocument property;
  property.Parse(text.GetString(), nullptr, TIXML_ENCODING_UTF8);
  if (property.Error()) {
    KO_LOG(-1, property.ErrorDesc());
    return 0;
  }
  TiXmlElement* added = property.RootElement();
  TiXmlElement* root = doc_ != nullptr ? doc_->RootElement() : nullptr;
  if (added == nullptr || root == nullptr || entry_ != root) {
    KO_LOG(-1, "Invalid contact root");
    return 0;
  }
  // Every copy of ours goes, whichever of the two names it carries, so the
  // entry never holds two marks or tag lists that disagree.
  TiXmlElement* e = root->FirstChildElement(kExtendedProperty);
  while (e != nullptr) {
    TiXmlElement* next = e->NextSiblingElement(kExtendedProperty);
    if (IsOurProperty(e)) root->RemoveChild(e);
    e = next;
  }
  root->LinkEndChild(added->Clone());

  koString printed;
  ToXmlString(printed);
  return Load(printed);
}

void FormatTagXml(ContactField& field, const char* tag) {
  field.tags_xml_ += "<tag>";
  XmlEscape(tag, field.tags_xml_);
  field.tags_xml_ += "</tag>";
}

void FormatExtendedPropertyXml(const ContactField& field, koString& out) {
  out.Clear();
  out.AppendFormat("<gd:extendedProperty name=\"Brantlow.Postvane\"><mark>%d</mark>%s</gd:extendedProperty>",
                   field.mark_, field.tags_xml_.GetString());
}

void ContactFields::FormatNameXml(const char* name) {
  name_xml_.SetAs("<gd:name><gd:fullName>");
  XmlEscape(name, name_xml_);
  name_xml_ += "</gd:fullName></gd:name>";
}

void ContactFields::FormatEmailXml(const char* address, const char* kind, int primary) {
  emails_xml_.AppendFormat("<gd:email rel=\"%s#%s\" address=\"", kGdNs, kind != nullptr ? kind : "");
  XmlEscape(address, emails_xml_);
  emails_xml_.AppendFormat("\" primary=\"%s\" />", primary ? "true" : "false");
}

void ContactFields::FormatContentXml(const char* notes) {
  notes_xml_.SetAs("<content type=\"text\">");
  XmlEscape(notes, notes_xml_);
  notes_xml_ += "</content>";
}

void ContactFields::BuildContactEntryXml(koString& out) const {
  koString property;
  FormatExtendedPropertyXml(mark_field_, property);
  out.Clear();
  out += "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>";
  out.AppendFormat("<entry xmlns=\"%s\" xmlns:gContact=\"%s\" xmlns:batch=\"%s\" xmlns:gd=\"%s\">",
                   kAtomNs, kContactNs, kBatchNs, kGdNs);
  out.AppendFormat("<category scheme=\"%s#kind\" term=\"%s#contact\" />", kGdNs, kContactNs);
  out += " ";
  out += name_xml_;
  out += emails_xml_;
  out += notes_xml_;
  out += system_group_xml_;
  out += property;
  out += "</entry>";
}
