#include "app/sync/mimetext.h"

#include <cstring>
#include <strings.h>
#include <string>
#include <vector>

extern "C" {
#include <c-client/c-client.h>
}

namespace {

// Windows-1252 at 0x80..0x9F; the rest of its upper half is Latin-1.
const uint16_t kCp1252High[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

// Length of the well-formed UTF-8 sequence at p (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF), or 0.
uint32_t SequenceLength(const unsigned char* p, uint32_t left) {
  unsigned c = p[0];
  if (c < 0x80) return 1;
  uint32_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
  if (n == 0 || left < n) return 0;
  for (uint32_t i = 1; i < n; ++i)
    if ((p[i] & 0xC0) != 0x80) return 0;
  if ((c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] > 0x9F) || (c == 0xF0 && p[1] < 0x90) ||
      (c == 0xF4 && p[1] > 0x8F))
    return 0;
  return n;
}

void AppendCodePoint(koString& out, uint32_t cp) {
  char b[3];
  if (cp < 0x800) {
    b[0] = static_cast<char>(0xC0 | (cp >> 6));
    b[1] = static_cast<char>(0x80 | (cp & 0x3F));
    out.Append(b, 2);
    return;
  }
  b[0] = static_cast<char>(0xE0 | (cp >> 12));
  b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  b[2] = static_cast<char>(0x80 | (cp & 0x3F));
  out.Append(b, 3);
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

struct Parameter {
  koString attribute;
  koString value;
};

// The parameters of a field value after its first token, up to
// kMaxParameters. Tolerant: an unquoted value runs to the next ';' (some
// mailers do not quote names with blanks or encoded words), a quoted one to
// its closing quote, and an unterminated quote to the end.
void ParseParameters(const koString& field, std::vector<Parameter>& out) {
  const char* p = field.GetString();
  const char* end = p + field.GetLength();
  p = static_cast<const char*>(memchr(p, ';', end - p));
  while (p != nullptr && p < end && out.size() < static_cast<size_t>(MimeText::kMaxParameters)) {
    while (p < end && (*p == ';' || IsBlank(*p))) ++p;
    if (p >= end) break;
    const char* name = p;
    while (p < end && *p != '=' && *p != ';') ++p;
    if (p >= end || *p == ';') continue;  // no value: skipped
    Parameter param;
    param.attribute.SetAs(name, static_cast<int>(p - name));
    param.attribute.Trim();
    ++p;
    while (p < end && IsBlank(*p)) ++p;
    if (p < end && *p == '"') {
      for (++p; p < end && *p != '"'; ++p) {
        if (*p == '\\' && p + 1 < end) ++p;
        param.value.Append(p, 1);
      }
      while (p < end && *p != ';') ++p;
    } else {
      const char* value = p;
      while (p < end && *p != ';') ++p;
      param.value.SetAs(value, static_cast<int>(p - value));
      param.value.TrimRight();
    }
    if (param.value.GetLength() > 0 && param.attribute.GetLength() > 0) out.push_back(std::move(param));
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// %XX escapes of an RFC 2231 value; a malformed escape stays as it is.
void AppendPercentDecoded(const char* s, uint32_t n, koString& out) {
  for (uint32_t i = 0; i < n; ++i) {
    if (s[i] == '%' && i + 2 < n && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      char byte = static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
      out.Append(&byte, 1);
      i += 2;
      continue;
    }
    out.Append(s + i, 1);
  }
}

// Splits "charset'language'text" off an RFC 2231 value: charset (OUT) and
// the offset of the text. Without two apostrophes there is no charset.
uint32_t SplitCharset(const koString& value, koString& charset) {
  const char* s = value.GetString();
  const char* first = strchr(s, '\'');
  const char* second = first != nullptr ? strchr(first + 1, '\'') : nullptr;
  if (second == nullptr) return 0;
  charset.SetAs(s, static_cast<int>(first - s));
  return static_cast<uint32_t>(second + 1 - s);
}

// out = what one of the mail library's converters makes of text, or text
// itself when it refuses. The converter works on a copy: it may write into
// its input.
template <typename Converter>
void RunConverter(const koString& text, koString& out, Converter convert) {
  koString copy;
  copy.SetAs(text);
  SIZEDTEXT src;
  SIZEDTEXT dst;
  src.data = reinterpret_cast<unsigned char*>(const_cast<char*>(copy.GetString()));
  src.size = copy.GetLength();
  dst.data = nullptr;
  dst.size = 0;
  if (convert(&src, &dst) && dst.data != nullptr) {
    out.SetAs(reinterpret_cast<const char*>(dst.data), static_cast<int>(dst.size));
  } else {
    out.SetAs(copy);
  }
  if (dst.data != nullptr && dst.data != src.data) fs_give(reinterpret_cast<void**>(&dst.data));
}

// bytes from `charset` to UTF-8 through the mail library's tables; an
// unknown charset keeps the bytes. Repaired either way.
void ConvertToUtf8(koString& bytes, const koString& charset) {
  if (charset.GetLength() > 0 && !charset.EqualsNoCase("utf-8") && !charset.EqualsNoCase("us-ascii")) {
    koString name(charset.GetString());
    koString converted;
    RunConverter(bytes, converted, [&name](SIZEDTEXT* src, SIZEDTEXT* dst) {
      return utf8_text(src, const_cast<char*>(name.GetString()), dst, 0);
    });
    bytes = std::move(converted);
  }
  MimeText::RepairUtf8(bytes);
}

// The kind of an attribute with respect to parameter `name`: 0 not it,
// 1 plain, 2 "name*", 3 "name*N" (index OUT), 4 "name*N*".
int AttributeKind(const koString& attribute, const char* name, int* index) {
  size_t n = strlen(name);
  const char* a = attribute.GetString();
  if (strncasecmp(a, name, n) != 0) return 0;
  a += n;
  if (*a == '\0') return 1;
  if (*a++ != '*') return 0;
  if (*a == '\0') return 2;
  int value = 0;
  const char* digits = a;
  while (*a >= '0' && *a <= '9' && a - digits < 4) value = value * 10 + (*a++ - '0');
  if (a == digits) return 0;
  *index = value;
  if (*a == '\0') return 3;
  return strcmp(a, "*") == 0 ? 4 : 0;
}

}  // namespace

void MimeText::RepairUtf8(koString& text) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text.GetString());
  uint32_t n = text.GetLength();
  uint32_t i = 0;
  while (i < n) {
    uint32_t k = SequenceLength(s + i, n - i);
    if (k == 0) break;
    i += k;
  }
  if (i == n) return;
  koString out;
  out.Append(text.GetString(), static_cast<int>(i));
  while (i < n) {
    uint32_t k = SequenceLength(s + i, n - i);
    if (k > 0) {
      out.Append(reinterpret_cast<const char*>(s + i), static_cast<int>(k));
      i += k;
      continue;
    }
    unsigned c = s[i++];
    AppendCodePoint(out, c < 0xA0 ? kCp1252High[c - 0x80] : c);
  }
  text = std::move(out);
}

void MimeText::DecodeWords(const char* value, uint32_t length, koString& out) {
  koString text;
  text.SetAs(value, static_cast<int>(length));
  RunConverter(text, out, [](SIZEDTEXT* src, SIZEDTEXT* dst) { return utf8_mime2text(src, dst, 0); });
  RepairUtf8(out);
}

int MimeText::GetField(const char* header, uint32_t length, const char* name, koString& out) {
  out.Clear();
  size_t nameLength = strlen(name);
  const char* p = header;
  const char* end = header + length;
  bool inField = false;
  while (p < end) {
    const char* eol = static_cast<const char*>(memchr(p, '\n', end - p));
    const char* next = eol != nullptr ? eol + 1 : end;
    const char* stop = eol != nullptr ? eol : end;
    if (stop > p && stop[-1] == '\r') --stop;
    if (stop == p) break;  // the empty line ends the header
    if (inField) {
      if (!IsBlank(*p)) break;
      out.Append(p, static_cast<int>(stop - p));
    } else if (static_cast<size_t>(stop - p) > nameLength && strncasecmp(p, name, nameLength) == 0) {
      const char* colon = p + nameLength;
      while (colon < stop && IsBlank(*colon)) ++colon;
      if (colon < stop && *colon == ':') {
        out.SetAs(colon + 1, static_cast<int>(stop - colon - 1));
        inField = true;
      }
    }
    p = next;
  }
  if (!inField) return 0;
  out.Trim();
  return 1;
}

int MimeText::CountParameters(const koString& field) {
  std::vector<Parameter> params;
  ParseParameters(field, params);
  return static_cast<int>(params.size());
}

int MimeText::GetParameter(const koString& field, const char* name, koString& out) {
  out.Clear();
  std::vector<Parameter> params;
  ParseParameters(field, params);
  const Parameter* plain = nullptr;
  const Parameter* extended = nullptr;
  // Continuations by index; RFC 2231 caps nothing, we look at what we parsed.
  const Parameter* pieces[kMaxParameters] = {};
  bool pieceExtended[kMaxParameters] = {};
  for (const Parameter& param : params) {
    int index = 0;
    int kind = AttributeKind(param.attribute, name, &index);
    if (kind == 1 && plain == nullptr) plain = &param;
    if (kind == 2 && extended == nullptr) extended = &param;
    if ((kind == 3 || kind == 4) && index < kMaxParameters && pieces[index] == nullptr) {
      pieces[index] = &param;
      pieceExtended[index] = kind == 4;
    }
  }
  if (pieces[0] != nullptr) {
    koString charset;
    bool anyExtended = false;
    for (int i = 0; i < kMaxParameters && pieces[i] != nullptr; ++i) {
      const koString& value = pieces[i]->value;
      if (!pieceExtended[i]) {
        out.Append(value);
        continue;
      }
      anyExtended = true;
      uint32_t start = i == 0 ? SplitCharset(value, charset) : 0;
      AppendPercentDecoded(value.GetString() + start, value.GetLength() - start, out);
    }
    if (anyExtended) {
      ConvertToUtf8(out, charset);
    } else {
      koString joined;
      joined.SetAs(out);
      DecodeWords(joined.GetString(), joined.GetLength(), out);
    }
    return 1;
  }
  if (extended != nullptr) {
    koString charset;
    uint32_t start = SplitCharset(extended->value, charset);
    AppendPercentDecoded(extended->value.GetString() + start, extended->value.GetLength() - start, out);
    ConvertToUtf8(out, charset);
    return 1;
  }
  if (plain != nullptr) {
    DecodeWords(plain->value.GetString(), plain->value.GetLength(), out);
    return 1;
  }
  return 0;
}

int MimeText::QuoteBoundaries(koString& header) {
  static const char kSpecials[] = "()<>@,;:\\\"/[]?=";
  int changed = 0;
  int from = 0;
  for (;;) {
    const char* text = header.GetString();
    int at = header.FindNoCase("boundary", from);
    if (at < 0) break;
    from = at + 8;
    // Only a parameter: the word follows ';' or a blank.
    if (at == 0 || (text[at - 1] != ';' && !IsBlank(text[at - 1]))) continue;
    // ... of a Content-Type field: walk back over its folded lines.
    int line = at;
    for (;;) {
      while (line > 0 && text[line - 1] != '\n') --line;
      if (line == 0 || !IsBlank(text[line])) break;
      --line;
    }
    if (strncasecmp(text + line, "Content-Type", 12) != 0) continue;
    int p = from;
    while (IsBlank(text[p])) ++p;
    if (text[p] != '=') continue;
    ++p;
    while (IsBlank(text[p])) ++p;
    if (text[p] == '"') continue;
    int end = p;
    bool special = false;
    while (text[end] != '\0' && text[end] != ';' && text[end] != '\r' && text[end] != '\n' &&
           !IsBlank(text[end])) {
      if (strchr(kSpecials, text[end]) != nullptr) special = true;
      ++end;
    }
    if (!special || end == p) continue;
    header.ReplaceAt(end, 0, "\"");
    header.ReplaceAt(p, 0, "\"");
    from = end + 2;
    changed = 1;
  }
  return changed;
}

namespace {

// One stretch of an address list between top-level delimiters.
struct Member {
  std::string text;
  char delimiter;  // ',', ':', ';' or 0 at the end
};

// Splits at ',' ':' ';' outside quoted strings, comments and angle brackets.
void SplitMembers(const std::string& value, std::vector<Member>& out) {
  std::string current;
  int comment = 0;
  bool quoted = false;
  bool angle = false;
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if ((quoted || comment > 0) && c == '\\' && i + 1 < value.size()) {
      current += c;
      current += value[++i];
      continue;
    }
    if (quoted) {
      quoted = c != '"';
    } else if (comment > 0) {
      comment += c == '(' ? 1 : c == ')' ? -1 : 0;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '(') {
      comment = 1;
    } else if (angle) {
      angle = c != '>';
    } else if (c == '<') {
      angle = true;
    } else if (c == ',' || c == ':' || c == ';') {
      out.push_back({current, c});
      current.clear();
      continue;
    }
    current += c;
  }
  out.push_back({current, 0});
}

// Without blanks and stray line-end bytes around it.
std::string Trimmed(const std::string& s) {
  size_t from = s.find_first_not_of(" \t\r\n");
  if (from == std::string::npos) return std::string();
  return s.substr(from, s.find_last_not_of(" \t\r\n") - from + 1);
}

std::string Quoted(const std::string& phrase) {
  std::string out = "\"";
  for (char c : phrase) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// The member with its display name made readable, or itself.
std::string RepairMember(const std::string& member) {
  if (member.find_first_of("\"(\\") != std::string::npos) return member;
  size_t open = member.find('<');
  if (open != std::string::npos) {
    std::string phrase = Trimmed(member.substr(0, open));
    if (phrase.find('@') == std::string::npos) return member;
    return Quoted(phrase) + " " + member.substr(open);
  }
  std::string words = Trimmed(member);
  size_t last = words.find_last_of(" \t");
  if (last == std::string::npos) return member;
  std::string address = words.substr(last + 1);
  std::string phrase = Trimmed(words.substr(0, last));
  if (address.find('@') == std::string::npos || phrase.find('@') != std::string::npos) return member;
  // Words of a name: letters and the like, no specials of an address.
  if (phrase.find_first_of("<>[]:;,") != std::string::npos) return member;
  return phrase + " <" + address + ">";
}

// [start, end) of the first field `name` in the header block, its folded
// lines and line end included; false when there is none.
bool FindFieldLines(const koString& header, const char* name, int* start, int* end) {
  const char* text = header.GetString();
  const char* stop = text + header.GetLength();
  size_t nameLength = strlen(name);
  for (const char* p = text; p < stop;) {
    const char* eol = static_cast<const char*>(memchr(p, '\n', stop - p));
    const char* next = eol != nullptr ? eol + 1 : stop;
    if (*p == '\r' || *p == '\n') return false;  // the empty line ends the block
    if (static_cast<size_t>(stop - p) > nameLength && strncasecmp(p, name, nameLength) == 0) {
      const char* colon = p + nameLength;
      while (colon < next && IsBlank(*colon)) ++colon;
      if (colon < next && *colon == ':') {
        while (next < stop && IsBlank(*next)) {
          const char* more = static_cast<const char*>(memchr(next, '\n', stop - next));
          next = more != nullptr ? more + 1 : stop;
        }
        *start = static_cast<int>(p - text);
        *end = static_cast<int>(next - text);
        return true;
      }
    }
    p = next;
  }
  return false;
}

}  // namespace

int MimeText::RepairAddressList(koString& value) {
  const std::string original(value.GetString(), value.GetLength());
  std::vector<Member> members;
  SplitMembers(original, members);
  std::string out;
  bool changed = false;
  char previous = 0;
  for (const Member& m : members) {
    std::string text = Trimmed(m.text);
    // An empty member between commas, or before the first or after the last.
    if (text.empty() && (m.delimiter == ',' || (m.delimiter == 0 && previous == ','))) {
      changed = true;
      if (m.delimiter == 0 && !out.empty() && out.back() == ',') out.pop_back();
      continue;
    }
    std::string repaired = m.delimiter == ':' ? text : Trimmed(RepairMember(text));
    if (repaired != text) changed = true;
    if (!out.empty() && out.back() == ',') out += ' ';
    out += repaired;
    if (m.delimiter != 0) out += m.delimiter;
    previous = m.delimiter;
  }
  if (!changed) return 0;
  value.SetAs(out.data(), static_cast<int>(out.size()));
  return 1;
}

int MimeText::RepairDate(koString& value) {
  std::string out;
  int comment = 0;
  const char* s = value.GetString();
  for (uint32_t i = 0; i < value.GetLength(); ++i) {
    char c = s[i];
    if (comment > 0) {
      if (c == '\\' && i + 1 < value.GetLength()) ++i;
      comment += c == '(' ? 1 : c == ')' ? -1 : 0;
      continue;
    }
    if (c == '(') {
      comment = 1;
      c = ' ';
    }
    if (IsBlank(c) || c == '\r' || c == '\n') {
      if (!out.empty() && out.back() != ' ' && out.back() != ':') out += ' ';
      continue;
    }
    if (c == ':' && !out.empty() && out.back() == ' ') out.pop_back();
    out += c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  if (out == std::string(s, value.GetLength())) return 0;
  value.SetAs(out.data(), static_cast<int>(out.size()));
  return 1;
}

int MimeText::RepairHeader(koString& header) {
  static const char* const kAddressFields[] = {"From", "Sender", "Reply-To", "To", "Cc", "Bcc"};
  int changed = 0;
  auto rewrite = [&header, &changed](const char* name, int (*repair)(koString&), bool onlyUnreadableDate) {
    int start = 0;
    int end = 0;
    if (!FindFieldLines(header, name, &start, &end)) return;
    koString value;
    GetField(header.GetString() + start, static_cast<uint32_t>(end - start), name, value);
    if (onlyUnreadableDate) {
      MESSAGECACHE elt;
      memset(&elt, 0, sizeof elt);
      koString copy(value.GetString());
      if (mail_parse_date(&elt, reinterpret_cast<unsigned char*>(const_cast<char*>(copy.GetString())))) return;
    }
    if (!repair(value)) return;
    koString field;
    field.Format("%s: ", name);
    field.Append(value);
    field.Append("\r\n");
    koString out;
    out.Append(header.GetString(), start);
    out.Append(field);
    out.Append(header.GetString() + end, static_cast<int>(header.GetLength()) - end);
    header = std::move(out);
    changed = 1;
  };
  for (const char* name : kAddressFields) rewrite(name, RepairAddressList, false);
  rewrite("Date", RepairDate, true);
  return changed;
}
