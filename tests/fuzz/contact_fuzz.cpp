// Fuzz target: what the contacts service sends. The input is read as one
// contact entry (Contact::Load and every getter), and served by a loopback
// HTTP server as the answer to a feed read (GDataClient::FetchContacts),
// so the HTML error page reading and the feed's entries and counts run too.
// What must hold: a loaded entry (UTF-8) prints and reads back the same,
// and prints stably after that; a feed's count lies within the entries
// present and each of them reads; a failed read leaves an error text.
#include <tinyxml.h>

#include <string>

#include "app/store/contact.h"
#include "app/sync/gdataclient.h"
#include "core/kcurl.h"
#include "core/kinifile.h"
#include "core/ksocket.h"
#include "core/pathmgr.h"
#include "fuzz_support.h"
#include "loopback_answer.h"
#include "support/lsan_gio.h"

using pvfuzz::Check;

namespace {

pvfuzz::LoopbackAnswer* gService = nullptr;

std::string Text(const koString& s) { return std::string(s.GetString(), s.GetLength()); }

// Every getter of the entry; the fields as one text.
std::string Read(const Contact& c) {
  koString v;
  std::string all;
  c.GetId(v), all += Text(v) + "|";
  c.GetTitle(v), all += Text(v) + "|";
  c.GetContent(v), all += Text(v) + "|";
  c.GetEditUrl(v), all += Text(v) + "|";
  c.GetPhotoUrl(v), all += Text(v) + "|";
  c.GetPhotoEtag(v), all += Text(v) + "|";
  for (int i = 0; i < c.GetEmailCount(); ++i) {
    int primary = 0;
    Check(c.GetEmail(i, v, &primary) == 1, "every counted address reads");
    all += Text(v) + (primary ? "*" : "") + ",";
  }
  for (int i = 0; i < c.GetPhoneCount(); ++i) Check(c.GetPhone(i, v) == 1, "every counted phone reads"), all += Text(v) + ",";
  for (int i = 0; i < c.GetGroupCount(); ++i) {
    int deleted = 0;
    Check(c.GetGroupMembership(i, v) == 1, "every counted group reads");
    c.IsGroupDeleted(i, &deleted);
    all += Text(v) + (deleted ? "-" : "") + ",";
  }
  for (int i = 0; i < c.GetTagCount(); ++i) Check(c.GetTag(i, v) == 1, "every counted tag reads"), all += Text(v) + ",";
  int mark = 0;
  c.GetMark(&mark);
  all += std::to_string(mark) + (c.IsDeleted() ? " deleted" : "");
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string home = pvfuzz::PrivateFolder();
  setenv("HOME", home.c_str(), 1);
  for (const char* name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) unsetenv(name);
  for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
    unsetenv(name);
  koIgnoreSigPipe();
  TiXmlBase::SetCondenseWhiteSpace(false);
  koCurl::GlobalInit();
  gService = new pvfuzz::LoopbackAnswer;
  koString dir;
  Check(PathMgr::GetConfigDir(dir) > 0, "config folder");
  koString ini(dir.GetString());
  ini += "/postvane.ini";
  Check(IniWriteString("GENERAL", "Contacts_Feed_Host", gService->Host().c_str(), ini.GetString()) == 1, "ini");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string text = input.substr(0, input.find('\0'));

  // One entry: printed, read back and printed again, the same. Only for
  // UTF-8, which the service sends: the XML parser reads a stray lead byte
  // together with the '&' or '<' after it.
  Contact entry;
  if (entry.Load(text.c_str()) && pvfuzz::IsUtf8(text)) {
    std::string fields = Read(entry);
    koString printed;
    Check(entry.ToXmlString(printed) == 1, "a loaded entry prints", text);
    Contact again;
    Check(again.Load(printed) == 1, "the printed entry loads", Text(printed));
    Check(Read(again) == fields, "the printed entry reads the same", Text(printed));
    // The first print may drop what lies outside the entry; from then on
    // printing is stable.
    koString reprinted;
    again.ToXmlString(reprinted);
    Contact third;
    Check(third.Load(reprinted) == 1 && Read(third) == fields, "the reprinted entry reads the same",
          Text(reprinted));
    koString last;
    third.ToXmlString(last);
    Check(Text(last) == Text(reprinted), "printing is stable", Text(reprinted) + " => " + Text(last));
  }

  // The same bytes as the service's answer to a feed read.
  gService->SetBody(input);
  GDataClient client("someone@example.com", "unused");
  int isFeed = -1;
  int ok = client.FetchContacts(nullptr, &isFeed);
  int count = client.GetEntryCount();
  koString error;
  client.GetLastError(error);
  if (!ok || !isFeed) {
    Check(isFeed == 0, "no feed, no flag", input);
    Check(error.GetLength() > 0 || input.find_first_not_of(" \t\r\n") == std::string::npos,
          "a failed read says why", input);
  } else {
    Check(count >= 0, "a feed has a count", input);
    for (int i = 0; i < count; ++i) {
      Contact c;
      Check(client.GetEntry(i, c) == 1, "every counted entry reads", input);
      Read(c);
    }
    Contact past;
    Check(client.GetEntry(count, past) == 0, "nothing past the count", input);
    koString updated;
    client.GetUpdated(updated);
  }
  return 0;
}
