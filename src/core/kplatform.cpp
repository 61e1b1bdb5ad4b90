#include "core/kplatform.h"

#include <string>

namespace {

int Copied(int ok, const std::string& text, koString& out) {
  if (ok) out.SetAs(text.data(), static_cast<int>(text.size()));
  return ok;
}

}  // namespace

int koGetUserFolder(koUserFolder which, koString& out) {
  std::string text;
  return Copied(koGetUserFolder(which, text), text, out);
}

int koGetTempFolder(koString& out) {
  std::string text;
  return Copied(koGetTempFolder(text), text, out);
}

int koGetExePath(koString& out) {
  std::string text;
  return Copied(koGetExePath(text), text, out);
}

int koCreateUuidText(koString& out) {
  std::string text;
  return Copied(koCreateUuidText(text), text, out);
}

int koChromeUserDataFolder(int browser, koString& out) {
  std::string text;
  return Copied(koChromeUserDataFolder(browser, text), text, out);
}
