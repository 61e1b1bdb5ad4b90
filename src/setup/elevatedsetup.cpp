// elevatedsetup: the machine-wide half of installing or removing the browser
// extensions, started elevated by browsersetup.
//
//   elevatedsetup <mode> <installdir> <version1> <version2>
//
// Registers the side-bar library <installdir>/msie/IEPostvane.dll with
// pvregsvr (found on PATH, else in this program's folder; started without
// waiting for it) and points Chrome at the package
// <installdir>/chrome/postvane<version1><version2>.crx through the
// machine-wide external-extension file named after the extension. A mode
// that reads as the number 1 unregisters and removes the file instead.
// Exit code 0 when pvregsvr was started, else 1 with a message on standard
// output (and the extension file left alone). Nothing is logged.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "core/kfile.h"
#include "core/kplatform.h"
#include "core/pathmgr.h"
#include "platform/desktop/desktop.h"
#include "setup/chromeextmgr.h"

namespace {

const char kRegistrationProgram[] = "pvregsvr";
const char kLibrary[] = "msie/IEPostvane.dll";
// Where Chrome looks for machine-wide external extensions; the variable
// (an absolute folder) moves it for tests.
const char kExtensionsFolder[] = "/usr/share/google-chrome/extensions";
const char kExtensionsFolderVariable[] = "PV_CHROME_EXTENSIONS_DIR";

int FindRegistrationProgram(koString& out) {
  if (koFindProgram(kRegistrationProgram, out)) return 1;
  koString beside;
  if (!PathMgr::GetExeDir(beside)) return 0;
  koPathJoin(beside, kRegistrationProgram);
  return koFindProgram(beside.GetString(), out);
}

int RegisterLibrary(bool uninstall, const char* installDir) {
  koString program;
  if (!FindRegistrationProgram(program)) return 0;
  koString library(installDir);
  koPathJoin(library, kLibrary);
  const char* registering[] = {program.GetString(), "/s", library.GetString(), nullptr};
  const char* unregistering[] = {program.GetString(), "/u", "/s", library.GetString(), nullptr};
  return koStartDetached(uninstall ? unregistering : registering, nullptr, nullptr);
}

// A JSON text value: the quoted, escaped text.
void AppendJsonText(koString& out, const char* text) {
  koString escaped(text);
  escaped.JsonEscape();
  out += "\"";
  out += escaped;
  out += "\"";
}

void UpdateChromeEntry(bool uninstall, const char* installDir, const char* version1,
                       const char* version2) {
  const char* folder = getenv(kExtensionsFolderVariable);
  if (folder == nullptr || folder[0] != '/') folder = kExtensionsFolder;
  koString file(folder);
  koString name;
  name.Format("%s.json", kChromeExtensionId);
  koPathJoin(file, name.GetString());
  if (uninstall) {
    unlink(file.GetString());
    return;
  }
  koString package(installDir);
  name.Format("chrome/postvane%s%s.crx", version1, version2);
  koPathJoin(package, name.GetString());
  koString version;
  version.Format("%s.%s", version1, version2);
  koString content("{\n  \"external_crx\": ");
  AppendJsonText(content, package.GetString());
  content += ",\n  \"external_version\": ";
  AppendJsonText(content, version.GetString());
  content += "\n}\n";
  // The browser runs as the user: the folders and the file are readable by all.
  if (!koMakeFolders(folder, 0755, nullptr)) return;
  koReplaceFile(file.GetString(), content.GetString(), content.GetLength(), 0644, false, nullptr, nullptr,
                nullptr);
}

}  // namespace

int main(int argc, char** argv) {
#ifndef PV_TEST_REDIRECTS
  koDropRedirects();
#endif
  if (argc != 5) {
    puts("Invalid number of arguments, required 5\n");
    return 1;
  }
  bool uninstall = atol(argv[1]) == 1;
  if (!RegisterLibrary(uninstall, argv[2])) {
    fputs("Failed to install IE extenstion\n", stdout);
    return 1;
  }
  UpdateChromeEntry(uninstall, argv[2], argv[3], argv[4]);
  return 0;
}
