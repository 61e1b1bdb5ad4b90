// The browser library as its users meet it: registered and removed by the
// registration program against a private registry, loaded by a stand-in
// browser that opens windows, and through its exported entry points.
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ieext/ieextids.h"
#include "platform/os/com.h"
#include "platform/os/module.h"
#include "support/files.h"
#include "support/private_home.h"
#include "support/registry.h"

namespace {

using pvtest::RunForOutput;

#define SIDEBAR PV_SIDEBAR_CLSID
#define BHO PV_BHO_CLSID
#define OTHER "{11111111-2222-3333-4444-555555555555}"
#define CU_EXPLORER "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer"
#define CU_SETTINGS "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Ext\\Settings\\"

const CLSID kSideBar = koGuid(SIDEBAR);
const CLSID kBho = koGuid(BHO);

// The host's lines about windows, libraries and bars, without the bar's own work.
std::string WindowLines(const std::string& out) {
  std::string kept;
  for (size_t at = 0; at < out.size();) {
    size_t end = out.find('\n', at);
    std::string line = out.substr(at, end - at);
    for (const char* start : {"load ", "window ", "ShowBrowserBar ", "unload "})
      if (line.compare(0, strlen(start), start) == 0) kept += line + "\n";
    at = end == std::string::npos ? out.size() : end + 1;
  }
  return kept;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* build = getenv("PV_BUILD_DIR");
    ASSERT_NE(nullptr, build);
    build_ = build;
    char full[PATH_MAX];
    ASSERT_NE(nullptr, realpath((build_ + "/extension/msie/IEPostvane.dll").c_str(), full));
    library_ = full;
  }

  int Regsvr(std::vector<std::string> args, std::string* out = nullptr) {
    args.insert(args.begin(), pvtest::BuildProgram("pvregsvr"));
    int code = 0;
    std::string text = RunForOutput(args, &code);
    if (out != nullptr) *out = text;
    return code;
  }
  // The stand-in browser's lines, and its exit code in *code.
  std::string Host(const std::vector<std::string>& args, int* code,
                   const std::string& program = "") {
    std::vector<std::string> words{program.empty() ? build_ + "/tests/iehost" : program};
    words.insert(words.end(), args.begin(), args.end());
    return RunForOutput(words, code);
  }
  std::string LowIni() const { return home_.path() + "/.local/state/Brantlow/Postvane/postvane.ini"; }

  PrivateHome home_;
  pvtest::TestRegistry registry_{home_.path() + "/registry"};
  std::string build_;
  std::string library_;
};

// What must stay, what registration clears, and a key that registration
// replaces, written before it runs.
const char* const kSeeds[][4] = {
    {"HKCR\\CLSID\\" SIDEBAR, "stale", "sz", "left over"},
    {"HKCR\\CLSID\\" SIDEBAR ".old", "@", "sz", "a neighbour"},
    {"HKCR\\Component Categories\\{00021492-0000-0000-C000-000000000046}\\Enum", "Implementing",
     "binary", "01"},
    {"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\" OTHER,
     "@", "sz", ""},
    {CU_EXPLORER "\\Discardable\\PostSetup\\Component Categories\\{00021493-0000-0000-C000-000000000046}\\Enum",
     "Implementing", "binary", "01"},
    {CU_EXPLORER "\\Discardable\\PostSetup\\Component Categories\\{00021494-0000-0000-C000-000000000046}\\Enum",
     "Implementing", "binary", "01"},
    {CU_SETTINGS BHO, "Flags", "dword", "1"},
    {CU_SETTINGS SIDEBAR, "Flags", "dword", "1"},
    {CU_SETTINGS "{47E2B9C0-D815-4A63-B7F9-0E4C6A1D28B5}", "Flags", "dword", "1"},
    {CU_SETTINGS OTHER, "Flags", "dword", "1"},
};

const char kUserHive[] = R"([HKCU]

[HKCU\Software]

[HKCU\Software\Microsoft]

[HKCU\Software\Microsoft\Internet Explorer]

[HKCU\Software\Microsoft\Internet Explorer\Explorer Bars]

[HKCU\Software\Microsoft\Internet Explorer\Explorer Bars\{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}]
@=""
"BarSize"=hex:ce,00,00,00,00,00,00,00

[HKCU\Software\Microsoft\Windows]

[HKCU\Software\Microsoft\Windows\CurrentVersion]

[HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer]

[HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\Discardable]

[HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\Discardable\PostSetup]

[HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\Discardable\PostSetup\Component Categories]

[HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\Discardable\PostSetup\Component Categories\{00021493-0000-0000-C000-000000000046}]

[HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\Discardable\PostSetup\Component Categories\{00021494-0000-0000-C000-000000000046}]

[HKCU\Software\Microsoft\Windows\CurrentVersion\Ext]

[HKCU\Software\Microsoft\Windows\CurrentVersion\Ext\Settings]

[HKCU\Software\Microsoft\Windows\CurrentVersion\Ext\Settings\{11111111-2222-3333-4444-555555555555}]
"Flags"=dword:00000001

)";

// The machine hive's first keys, and its list of helper objects as the seeds leave it.
const char kMachineTop[] = R"([HKLM]

[HKLM\Software]

[HKLM\Software\Classes]

[HKLM\Software\Classes\CLSID]

)";
const char kHelpers[] = R"([HKLM\Software\Microsoft]

[HKLM\Software\Microsoft\Windows]

[HKLM\Software\Microsoft\Windows\CurrentVersion]

[HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer]

[HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\Browser Helper Objects]

[HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\Browser Helper Objects\{11111111-2222-3333-4444-555555555555}]
@=""

)";

// Below the classes root after registration, and the helper's own entry.
const char kRegistered[] = R"([HKLM\Software\Classes\CLSID\{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}]
@="Postvane"

[HKLM\Software\Classes\CLSID\{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}\Control]

[HKLM\Software\Classes\CLSID\{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}\Implemented Categories]

[HKLM\Software\Classes\CLSID\{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}\Implemented Categories\{00021493-0000-0000-C000-000000000046}]

[HKLM\Software\Classes\CLSID\{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}\InprocServer32]
@="$LIB"
"ThreadingModel"="Apartment"

[HKLM\Software\Classes\CLSID\{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}\Insertable]

[HKLM\Software\Classes\CLSID\{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}\MiscStatus]
@="0"

[HKLM\Software\Classes\CLSID\{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}\MiscStatus\1]
@="131473"

[HKLM\Software\Classes\CLSID\{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}\ProgID]
@="Postvane.IEExtensionObj.1"

[HKLM\Software\Classes\CLSID\{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}\Programmable]

[HKLM\Software\Classes\CLSID\{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}\ToolboxBitmap32]
@="$LIB, 102"

[HKLM\Software\Classes\CLSID\{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}\TypeLib]
@="{B5F03C7E-2A91-4D48-9E6B-1C7D5F8A0E32}"

[HKLM\Software\Classes\CLSID\{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}\Version]
@="1.0"

[HKLM\Software\Classes\CLSID\{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}\VersionIndependentProgID]
@="Postvane.IEExtensionObj"

[HKLM\Software\Classes\CLSID\{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}.old]
@="a neighbour"

[HKLM\Software\Classes\CLSID\{8D2F4B61-7C09-4E35-A1B8-6F3E2C9D0A47}]
@="Postvane Gmail BHO"

[HKLM\Software\Classes\CLSID\{8D2F4B61-7C09-4E35-A1B8-6F3E2C9D0A47}\InProcServer32]
@="$LIB"
"ThreadingModel"="Apartment"
"Version"="1.89 Beta"

[HKLM\Software\Classes\CLSID\{E4A81D37-6F25-4C9B-8D70-3A5B1E2F9C68}]
@="UIIEExtensionObj Class"

[HKLM\Software\Classes\CLSID\{E4A81D37-6F25-4C9B-8D70-3A5B1E2F9C68}\InprocServer32]
@="$LIB"
"ThreadingModel"="Apartment"

[HKLM\Software\Classes\CLSID\{E4A81D37-6F25-4C9B-8D70-3A5B1E2F9C68}\ProgID]
@="Postvane.UIIEExtensionObj.1"

[HKLM\Software\Classes\CLSID\{E4A81D37-6F25-4C9B-8D70-3A5B1E2F9C68}\Programmable]

[HKLM\Software\Classes\CLSID\{E4A81D37-6F25-4C9B-8D70-3A5B1E2F9C68}\TypeLib]
@="{B5F03C7E-2A91-4D48-9E6B-1C7D5F8A0E32}"

[HKLM\Software\Classes\CLSID\{E4A81D37-6F25-4C9B-8D70-3A5B1E2F9C68}\VersionIndependentProgID]
@="Postvane.UIIEExtensionObj"

[HKLM\Software\Classes\Component Categories]

[HKLM\Software\Classes\Component Categories\{00021492-0000-0000-C000-000000000046}]

[HKLM\Software\Classes\Interface]

[HKLM\Software\Classes\Interface\{6F0B3D95-A2C7-4E81-9B54-D8E1F3A67C20}]
@="IIEExtensionObj"

[HKLM\Software\Classes\Interface\{6F0B3D95-A2C7-4E81-9B54-D8E1F3A67C20}\TypeLib]
@="{93C6E5A2-1B48-4D7F-A0E9-5C2D8B7F4136}"
"Version"="1.0"

[HKLM\Software\Classes\Interface\{C1D74A08-9E36-4B2F-8A15-7B6E0C3D59F4}]
@="IUIIEExtensionObj"

[HKLM\Software\Classes\Interface\{C1D74A08-9E36-4B2F-8A15-7B6E0C3D59F4}\TypeLib]
@="{93C6E5A2-1B48-4D7F-A0E9-5C2D8B7F4136}"
"Version"="1.0"

[HKLM\Software\Classes\Postvane.IEExtensionObj]
@="Postvane Rocks"

[HKLM\Software\Classes\Postvane.IEExtensionObj\CLSID]
@="{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}"

[HKLM\Software\Classes\Postvane.IEExtensionObj\CurVer]
@="Postvane.IEExtensionObj.1"

[HKLM\Software\Classes\Postvane.IEExtensionObj.1]
@="Postvane"

[HKLM\Software\Classes\Postvane.IEExtensionObj.1\CLSID]
@="{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}"

[HKLM\Software\Classes\Postvane.UIIEExtensionObj]
@="UIIEExtensionObj Class"

[HKLM\Software\Classes\Postvane.UIIEExtensionObj\CLSID]
@="{E4A81D37-6F25-4C9B-8D70-3A5B1E2F9C68}"

[HKLM\Software\Classes\Postvane.UIIEExtensionObj\CurVer]
@="Postvane.UIIEExtensionObj.1"

[HKLM\Software\Classes\Postvane.UIIEExtensionObj.1]
@="UIIEExtensionObj Class"

[HKLM\Software\Classes\Postvane.UIIEExtensionObj.1\CLSID]
@="{E4A81D37-6F25-4C9B-8D70-3A5B1E2F9C68}"

[HKLM\Software\Classes\TypeLib]

[HKLM\Software\Classes\TypeLib\{93C6E5A2-1B48-4D7F-A0E9-5C2D8B7F4136}]

[HKLM\Software\Classes\TypeLib\{93C6E5A2-1B48-4D7F-A0E9-5C2D8B7F4136}\1.0]
@="Postvane 1.0 Type Library"

[HKLM\Software\Classes\TypeLib\{93C6E5A2-1B48-4D7F-A0E9-5C2D8B7F4136}\1.0\0]

[HKLM\Software\Classes\TypeLib\{93C6E5A2-1B48-4D7F-A0E9-5C2D8B7F4136}\1.0\0\linux]
@="$LIB"

[HKLM\Software\Classes\TypeLib\{93C6E5A2-1B48-4D7F-A0E9-5C2D8B7F4136}\1.0\FLAGS]
@="0"

[HKLM\Software\Classes\TypeLib\{93C6E5A2-1B48-4D7F-A0E9-5C2D8B7F4136}\1.0\HELPDIR]
@="$DIR"

)";
const char kOwnHelper[] = R"([HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\Browser Helper Objects\{8D2F4B61-7C09-4E35-A1B8-6F3E2C9D0A47}]
@=""

)";

const char kRemoved[] = R"([HKLM\Software\Classes\CLSID\{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}.old]
@="a neighbour"

[HKLM\Software\Classes\Component Categories]

[HKLM\Software\Classes\Component Categories\{00021492-0000-0000-C000-000000000046}]

[HKLM\Software\Classes\Interface]

[HKLM\Software\Classes\TypeLib]

)";

TEST_F(LibraryTest, RegistrationWritesItsKeysOnceAndRemovalTakesOnlyThose) {
  for (const auto& seed : kSeeds) ASSERT_TRUE(registry_.Set(seed[0], seed[1], seed[2], seed[3])) << seed[0];
  const std::string ini = "[GENERAL]\nIE_SideBar_version=1.88\nPort=40001\n";
  std::filesystem::create_directories(LowIni().substr(0, LowIni().rfind('/')));
  pvtest::WriteFile(LowIni(), ini);
  const std::string dir = library_.substr(0, library_.rfind('/'));
  const std::string registered = std::string(kMachineTop) +
      Replace(Replace(kRegistered, "$LIB", library_), "$DIR", dir) + kHelpers + kOwnHelper + kUserHive;

  // Options in any order and letter case; the path as the caller gives it.
  EXPECT_EQ(0, Regsvr({"/S", build_ + "/bin/../extension/msie/IEPostvane.dll", "RunAsAdmin"}));
  EXPECT_EQ(registered, registry_.Dump());
  EXPECT_EQ(0, Regsvr({"/s", library_}));
  EXPECT_EQ(registered, registry_.Dump());

  std::string said;
  EXPECT_EQ(0, Regsvr({"runasadmin", "/u", library_, "/s"}, &said));
  EXPECT_EQ("", said);
  EXPECT_EQ(std::string(kMachineTop) + kRemoved + kHelpers + kUserHive, registry_.Dump());
  EXPECT_EQ(ini, pvtest::ReadFile(LowIni()));
}

TEST_F(LibraryTest, HostWindowsOpenTheBarOncePerVersion) {
  const std::string bar = "ShowBrowserBar " SIDEBAR;
  // The bar's library is loaded again as the bar opens.
  const std::string opened = bar + " show=true size=none\nload " + library_ + "\n";
  const std::string closed = "window 1 held 0\n";
  const struct {
    const char* name;
    const char* ini_before;  // null: no ini file
    std::vector<std::string> args;
    std::string lines;
    const char* ini_after;  // null: still no ini file
  } cases[] = {
      {"fresh folder: the first window opens it, the second is asked to hide it", nullptr, {"2"},
       "window 1\n" + opened + closed + "window 2\n" + bar + " show=false size=none\nwindow 2 held 0\n",
       "[GENERAL]\nIE_SideBar_version=1.89 Beta\n"},
      {"another letter case counts as the same version",
       "[GENERAL]\nIE_SideBar_version=1.89 beta\n", {},
       "window 1\n" + bar + " show=false size=none\n" + closed,
       "[GENERAL]\nIE_SideBar_version=1.89 beta\n"},
      {"an older version opens it again and keeps the rest of the file",
       "; kept\n[GENERAL]\nPort=40001\nIE_SideBar_version=1.88\n", {},
       "window 1\n" + opened + closed,
       "; kept\n[GENERAL]\nPort=40001\nIE_SideBar_version=1.89 Beta\n"},
      {"a bar that does not open is not marked: every window tries", nullptr, {"--refuse-bar", "2"},
       "window 1\n" + bar + " show=true size=none\n" + closed + "window 2\n" + bar +
           " show=true size=none\nwindow 2 held 0\n",
       nullptr},
  };
  ASSERT_EQ(0, Regsvr({"/s", library_}));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(home_.path() + "/.local");
    if (c.ini_before != nullptr) {
      std::filesystem::create_directories(LowIni().substr(0, LowIni().rfind('/')));
      pvtest::WriteFile(LowIni(), c.ini_before);
    }
    int code = -1;
    std::string out = Host(c.args, &code);
    EXPECT_EQ(0, code);
    EXPECT_EQ("load " + library_ + "\n" + c.lines + "unload S_OK\n", WindowLines(out));
    if (c.ini_after != nullptr) {
      EXPECT_EQ(c.ini_after, pvtest::ReadFile(LowIni()));
    } else {
      EXPECT_FALSE(std::filesystem::exists(LowIni()));
    }
  }
}

TEST_F(LibraryTest, WithoutTheLowIntegrityFolderTheRoamingCopyIsUsed) {
  ASSERT_EQ(0, Regsvr({"/s", library_}));
  // A plain file where the state folder belongs.
  std::filesystem::create_directories(home_.path() + "/.local");
  pvtest::WriteFile(home_.path() + "/.local/state", "");
  int code = -1;
  std::string out = Host({"2"}, &code);
  EXPECT_NE(std::string::npos, out.find("show=true")) << out;
  EXPECT_NE(std::string::npos, out.find("show=false")) << out;
  EXPECT_EQ("[GENERAL]\nIE_SideBar_version=1.89 Beta\n",
            pvtest::ReadFile(home_.path() + "/.config/Brantlow/Postvane/postvane.ini"));
}

TEST_F(LibraryTest, TheLibraryRefusesToStartInsideTheDesktopShell) {
  ASSERT_EQ(0, Regsvr({"/s", library_}));
  for (const char* name : {"explorer.exe", "Explorer.EXE/host", "my-explorer.exe.d/host"}) {
    SCOPED_TRACE(name);
    std::string copy = home_.path() + "/shell/" + name;
    std::filesystem::create_directories(copy.substr(0, copy.rfind('/')));
    std::filesystem::copy_file(build_ + "/tests/iehost", copy,
                               std::filesystem::copy_options::overwrite_existing);
    int code = -1;
    std::string out = Host({}, &code, copy);
    EXPECT_EQ(3, code);
    EXPECT_NE(std::string::npos, out.find("refused to start")) << out;
    EXPECT_EQ(std::string::npos, out.find("ShowBrowserBar")) << out;
  }
  EXPECT_FALSE(std::filesystem::exists(LowIni()));
}

TEST_F(LibraryTest, ClassObjectsAndTheUnloadAnswer) {
  koModule module;
  ASSERT_EQ(1, module.Load(library_.c_str())) << module.Error();
  auto get = reinterpret_cast<koDllGetClassObjectFn>(module.Symbol("DllGetClassObject"));
  auto can_unload = reinterpret_cast<koDllEntryFn>(module.Symbol("DllCanUnloadNow"));
  ASSERT_NE(nullptr, get);
  ASSERT_NE(nullptr, can_unload);

  const struct {
    CLSID clsid;
    IID iid;
    HRESULT hr;
  } lookups[] = {
      {kBho, IID_IClassFactory, S_OK},
      {kBho, IID_IUnknown, S_OK},
      {kBho, IID_IDispatch, E_NOINTERFACE},
      // The window.external object: by the class its type library names and
      // by the one its registration names.
      {koGuid("{2B7E9C14-5D60-4A8F-B3E2-917C4D8F6A05}"), IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
      {koGuid("{E4A81D37-6F25-4C9B-8D70-3A5B1E2F9C68}"), IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
      {koGuid(OTHER), IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
  };
  for (const auto& l : lookups) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(l.hr, get(l.clsid, l.iid, &out));
    EXPECT_EQ(l.hr == S_OK, out != nullptr);
  }

  IClassFactory* factory = nullptr;
  ASSERT_EQ(S_OK, get(kBho, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
  IUnknown* outer = factory;  // any object will do as the would-be outer one
  const struct {
    IUnknown* outer;
    IID iid;
    HRESULT hr;
  } creations[] = {
      {outer, IID_IObjectWithSite, CLASS_E_NOAGGREGATION},
      {nullptr, IID_IWebBrowser2, E_NOINTERFACE},  // and the new object is gone again
      {nullptr, IID_IClassFactory, E_NOINTERFACE},
  };
  for (const auto& c : creations) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(c.hr, factory->CreateInstance(c.outer, c.iid, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(S_OK, can_unload());
  }

  IObjectWithSite* object = nullptr;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IObjectWithSite, reinterpret_cast<void**>(&object)));
  EXPECT_EQ(S_FALSE, can_unload());
  IUnknown* identity = nullptr;
  IDispatch* dispatch = nullptr;
  ASSERT_EQ(S_OK, object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
  ASSERT_EQ(S_OK, object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)));
  EXPECT_EQ(static_cast<IUnknown*>(object), identity);
  uint32_t count = 7;
  EXPECT_EQ(S_OK, dispatch->GetTypeInfoCount(&count));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(E_NOTIMPL, dispatch->GetIDsOfNames(IID_NULL, nullptr, 0, 0, nullptr));
  void* site = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, object->GetSite(IID_IUnknown, &site));
  EXPECT_EQ(nullptr, site);
  EXPECT_EQ(S_OK, object->SetSite(nullptr));
  identity->Release();
  dispatch->Release();
  EXPECT_EQ(S_FALSE, can_unload());
  object->Release();
  EXPECT_EQ(S_OK, can_unload());

  // A server lock holds the library as an object does.
  EXPECT_EQ(S_OK, factory->LockServer(1));
  EXPECT_EQ(S_FALSE, can_unload());
  EXPECT_EQ(S_OK, factory->LockServer(0));
  EXPECT_EQ(S_OK, can_unload());
  factory->Release();
}

TEST_F(LibraryTest, OnlyTheEntryPointsAreExported) {
  int status = 0;
  std::string symbols = pvtest::CommandOutput(
      "nm -D --defined-only --format=posix '" + library_ + "' | cut -d' ' -f1 | sort", &status);
  EXPECT_EQ(0, status);
  EXPECT_EQ(
      "DllCanUnloadNow\nDllGetClassObject\nDllRegisterServer\nDllUnregisterServer\n"
      "PvFindResource\nPvModuleAttach\nPvModuleDetach\n",
      symbols);
}

TEST_F(LibraryTest, BadInputEndsWithAClearCodeAndWritesNothing) {
  const std::string noentry = build_ + "/tests/libpvnoentry.so";
  // A library whose path is longer than a registered path may be.
  const std::string deep = home_.path() + "/" + std::string(120, 'd') + "/" + std::string(120, 'e');
  std::filesystem::create_directories(deep);
  std::filesystem::copy_file(library_, deep + "/IEPostvane.dll");
  const struct {
    const char* name;
    const char* user_hive;  // null: none
    std::vector<std::string> args;
    int code;
    std::string message;
  } cases[] = {
      {"no library", nullptr, {}, 1, "usage: pvregsvr"},
      {"two libraries", nullptr, {library_, library_}, 1, "usage: pvregsvr"},
      {"an unknown option", nullptr, {"/x", library_}, 1, "usage: pvregsvr"},
      {"a missing library", nullptr, {home_.path() + "/none/IEPostvane.dll"}, 3,
       "cannot load " + home_.path() + "/none/IEPostvane.dll: No such file or directory"},
      {"a file that is no library", nullptr, {LowIni()}, 3, "cannot load "},
      {"no registration entry", nullptr, {noentry}, 4, "has no entry point DllRegisterServer"},
      {"the entry refuses", nullptr, {"/u", noentry}, 5,
       "DllUnregisterServer in " + noentry + " failed: 0x80070005"},
      {"a library path that is too long", nullptr, {deep + "/IEPostvane.dll"}, 5,
       "DllRegisterServer in " + deep + "/IEPostvane.dll failed: 0x80004005"},
      {"a user hive that is not a database", "not a database, just text\n", {library_}, 2,
       "the registry " + registry_.folder() + "/user.db cannot be written: the registry file is not a registry database"},
  };
  std::filesystem::create_directories(LowIni().substr(0, LowIni().rfind('/')));
  pvtest::WriteFile(LowIni(), "[GENERAL]\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(registry_.folder());
    if (c.user_hive != nullptr) {
      std::filesystem::create_directories(registry_.folder());
      pvtest::WriteFile(registry_.folder() + "/user.db", c.user_hive);
    }
    std::string said;
    EXPECT_EQ(c.code, Regsvr(c.args, &said));
    EXPECT_NE(std::string::npos, said.find(c.message)) << said;
    // Silent: the same code and not a word.
    std::vector<std::string> silent = c.args;
    silent.insert(silent.begin(), "/s");
    EXPECT_EQ(c.code, Regsvr(silent, &said));
    EXPECT_EQ("", said);
    // Nothing of a registration was written.
    std::string machine = registry_.Dump("HKLM");
    EXPECT_TRUE(machine == "[HKLM]\n\n" || machine.find("no such key") != std::string::npos) << machine;
    if (c.user_hive != nullptr) {
      EXPECT_EQ(c.user_hive, pvtest::ReadFile(registry_.folder() + "/user.db"));
    }
  }
}

// The machine hive's folder is root's: an ordinary user's registration stops
// before anything is written.
TEST_F(LibraryTest, AnOrdinaryUserCannotRegister) {
  if (getuid() != 0) GTEST_SKIP() << "running the program as another user needs root";
  ASSERT_EQ(0, chmod(home_.path().c_str(), 0755));
  std::filesystem::create_directories(registry_.folder());
  int code = -1;
  std::string said = RunForOutput({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                   pvtest::BuildProgram("pvregsvr"), library_},
                                  &code);
  EXPECT_EQ(2, code);
  EXPECT_NE(std::string::npos,
            said.find(registry_.folder() + "/machine.db cannot be written: access denied"))
      << said;
  EXPECT_TRUE(std::filesystem::is_empty(registry_.folder()));
}

}  // namespace
