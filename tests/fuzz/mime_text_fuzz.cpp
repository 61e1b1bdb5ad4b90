// Fuzz target: the forgiving readers and repairs of mail header text. The
// input is a header block as a mailer could write it; every reader and
// repair runs on it, and what they hand on must be valid UTF-8 and stable
// under a second pass.
#include <string>

#include "app/sync/mailinit.h"
#include "app/sync/mimetext.h"
#include "fuzz_support.h"
#include "support/lsan_gio.h"

using pvfuzz::Check;
using pvfuzz::IsUtf8;

namespace {

std::string Text(const koString& s) { return std::string(s.GetString(), s.GetLength()); }

void CheckParameters(const koString& field) {
  Check(MimeText::CountParameters(field) <= MimeText::kMaxParameters, "parameters bounded", Text(field));
  for (const char* name : {"filename", "name", "boundary", "charset"}) {
    koString value;
    int found = MimeText::GetParameter(field, name, value);
    Check(IsUtf8(Text(value)), "parameter value is UTF-8", Text(field));
    if (!found) Check(value.GetLength() == 0, "absent parameter is empty", Text(field));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitMailLibrary();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const std::string input(text, size);

  // Repair: always UTF-8, valid text untouched, a second repair changes nothing.
  koString repaired;
  repaired.SetAs(text, static_cast<int>(size));
  MimeText::RepairUtf8(repaired);
  Check(IsUtf8(Text(repaired)), "repair gives UTF-8", input);
  if (IsUtf8(input)) Check(Text(repaired) == input, "valid UTF-8 kept", input);
  koString again;
  again.SetAs(repaired);
  MimeText::RepairUtf8(again);
  Check(Text(again) == Text(repaired), "repair is stable", input);

  // Encoded words.
  koString decoded;
  MimeText::DecodeWords(text, static_cast<uint32_t>(size), decoded);
  Check(IsUtf8(Text(decoded)), "decoded words are UTF-8", input);

  // The input as a header block and as one field value.
  for (const char* name : {"Content-Type", "Content-Disposition", "Subject"}) {
    koString field;
    if (MimeText::GetField(text, static_cast<uint32_t>(size), name, field)) {
      Check(field.GetLength() <= size, "field from the header", input);
      Check(memchr(field.GetString(), '\n', field.GetLength()) == nullptr, "field unfolded", input);
      CheckParameters(field);
    } else {
      Check(field.GetLength() == 0, "missing field is empty", input);
    }
  }
  koString whole;
  whole.SetAs(text, static_cast<int>(size));
  CheckParameters(whole);

  // Quoting boundaries adds two quotes per change and is done in one pass.
  koString header;
  header.SetAs(text, static_cast<int>(size));
  uint32_t before = header.GetLength();
  int changed = MimeText::QuoteBoundaries(header);
  Check(changed ? header.GetLength() > before : Text(header) == input, "quoting changes only when it says so",
        input);
  Check((header.GetLength() - before) % 2 == 0, "quotes come in pairs", input);
  koString quoted;
  quoted.SetAs(header);
  Check(MimeText::QuoteBoundaries(quoted) == 0 && Text(quoted) == Text(header), "quoting is stable", input);

  // Header repairs (address lists, dates) are done in one pass and keep
  // text that was UTF-8 so.
  koString repairedHeader;
  repairedHeader.SetAs(text, static_cast<int>(size));
  MimeText::RepairHeader(repairedHeader);
  koString secondPass;
  secondPass.SetAs(repairedHeader);
  Check(MimeText::RepairHeader(secondPass) == 0 && Text(secondPass) == Text(repairedHeader),
        "a repaired header needs no second repair", Text(repairedHeader) + "\n=>\n" + Text(secondPass));
  if (IsUtf8(input)) Check(IsUtf8(Text(repairedHeader)), "a repair keeps UTF-8", input);
  koString list;
  list.SetAs(text, static_cast<int>(size));
  MimeText::RepairAddressList(list);
  koString listAgain;
  listAgain.SetAs(list);
  Check(MimeText::RepairAddressList(listAgain) == 0, "a repaired list needs no second repair", Text(list));
  return 0;
}
