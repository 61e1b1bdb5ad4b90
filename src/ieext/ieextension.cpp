#include "ieext/ieextension.h"

#include <string>

#include "core/kplatform.h"
#include "ieext/bho.h"
#include "ieext/comodule.h"
#include "ieext/ieextids.h"
#include "ieext/sidebar.h"
#include "ieext/typelib.h"
#include "platform/desktop/registry/catregister.h"
#include "platform/desktop/registry/registry.h"
#include "platform/os/module.h"
#include "platform/os/utf.h"

namespace {

#define SIDEBAR_KEY "CLSID\\" PV_SIDEBAR_CLSID
#define UI_KEY "CLSID\\" PV_UIOBJECT_REGISTERED_CLSID

const RegScriptLine kSideBarScript[] = {
    {"Postvane.IEExtensionObj.1", nullptr, "Postvane", 0},
    {"Postvane.IEExtensionObj.1\\CLSID", nullptr, PV_SIDEBAR_CLSID, 0},
    {"Postvane.IEExtensionObj", nullptr, "Postvane Rocks", 0},
    {"Postvane.IEExtensionObj\\CLSID", nullptr, PV_SIDEBAR_CLSID, 0},
    {"Postvane.IEExtensionObj\\CurVer", nullptr, "Postvane.IEExtensionObj.1", 0},
    {"CLSID", nullptr, nullptr, kScriptNoRemove},
    {SIDEBAR_KEY, nullptr, "Postvane", kScriptForceRemove},
    {SIDEBAR_KEY "\\ProgID", nullptr, "Postvane.IEExtensionObj.1", 0},
    {SIDEBAR_KEY "\\VersionIndependentProgID", nullptr, "Postvane.IEExtensionObj", 0},
    {SIDEBAR_KEY "\\Programmable", nullptr, nullptr, kScriptForceRemove},
    {SIDEBAR_KEY "\\InprocServer32", nullptr, "%MODULE%", 0},
    {SIDEBAR_KEY "\\InprocServer32", "ThreadingModel", "Apartment", 0},
    {SIDEBAR_KEY "\\Control", nullptr, nullptr, kScriptForceRemove},
    {SIDEBAR_KEY "\\Insertable", nullptr, nullptr, kScriptForceRemove},
    {SIDEBAR_KEY "\\ToolboxBitmap32", nullptr, "%MODULE%, 102", kScriptForceRemove},
    {SIDEBAR_KEY "\\MiscStatus", nullptr, "0", 0},
    {SIDEBAR_KEY "\\MiscStatus\\1", nullptr, "131473", 0},
    {SIDEBAR_KEY "\\TypeLib", nullptr, PV_REGISTERED_LIBID, 0},
    {SIDEBAR_KEY "\\Version", nullptr, "1.0", 0},
};

const RegScriptLine kUIObjectScript[] = {
    {"Postvane.UIIEExtensionObj.1", nullptr, "UIIEExtensionObj Class", 0},
    {"Postvane.UIIEExtensionObj.1\\CLSID", nullptr, PV_UIOBJECT_REGISTERED_CLSID, 0},
    {"Postvane.UIIEExtensionObj", nullptr, "UIIEExtensionObj Class", 0},
    {"Postvane.UIIEExtensionObj\\CLSID", nullptr, PV_UIOBJECT_REGISTERED_CLSID, 0},
    {"Postvane.UIIEExtensionObj\\CurVer", nullptr, "Postvane.UIIEExtensionObj.1", 0},
    {"CLSID", nullptr, nullptr, kScriptNoRemove},
    {UI_KEY, nullptr, "UIIEExtensionObj Class", 0},
    {UI_KEY "\\ProgID", nullptr, "Postvane.UIIEExtensionObj.1", 0},
    {UI_KEY "\\VersionIndependentProgID", nullptr, "Postvane.UIIEExtensionObj", 0},
    {UI_KEY "\\Programmable", nullptr, nullptr, 0},
    {UI_KEY "\\InprocServer32", nullptr, "%MODULE%", 0},
    {UI_KEY "\\InprocServer32", "ThreadingModel", "Apartment", 0},
    {UI_KEY "\\TypeLib", nullptr, PV_REGISTERED_LIBID, 0},
};

// The side bar is created by the browser through its class object; the
// window.external object is made by the bar itself, so it is only named.
const ComObjectEntry kObjectMap[] = {
    {&CLSID_IEExtensionObj, CIEExtensionObj::Create, kSideBarScript,
     sizeof kSideBarScript / sizeof kSideBarScript[0]},
    {&CLSID_UIIEExtensionObj, nullptr, kUIObjectScript,
     sizeof kUIObjectScript / sizeof kUIObjectScript[0]},
};

// The browser's cached lists of bars, which hide a newly registered one.
const char* const kUserBandLists[] = {
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Discardable\\PostSetup\\"
    "Component Categories\\" PV_CATID_INFOBAND "\\Enum",
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Discardable\\PostSetup\\"
    "Component Categories\\" PV_CATID_COMMBAND "\\Enum",
};
const char kClassesBandList[] = "Component Categories\\" PV_CATID_DESKBAND "\\Enum";

const char kBhoKey[] = "CLSID\\" PV_BHO_CLSID;
const char kBhoServerKey[] = "CLSID\\" PV_BHO_CLSID "\\InProcServer32";
const char kBhoListKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\" PV_BHO_CLSID;
const char kExplorerBarKey[] =
    "Software\\Microsoft\\Internet Explorer\\Explorer Bars\\" PV_SIDEBAR_CLSID;
const char kAddonSettingsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Ext\\Settings\\";
const char* const kAddonSettings[] = {PV_BHO_CLSID, PV_SIDEBAR_CLSID, PV_OLD_ADDON_CLSID};
// 206 pixels wide.
const unsigned char kBarSize[8] = {206, 0, 0, 0, 0, 0, 0, 0};
// The library's own path, in characters of the system's wide form.
const size_t kMaxPathChars = 260;

CIEExtensionApp theApp;
int gAttached = 0;  // loads of the library in this process

void DeleteBandLists() {
  for (const char* list : kUserBandLists) koRegDeleteTree(kRegCurrentUser, list);
  koRegDeleteTree(kRegClassesRoot, kClassesBandList);
}

// out = this library's file. 0 when it cannot be had or is too long.
int GetLibraryPath(std::string& out) {
  if (!koGetModulePath(reinterpret_cast<const void*>(&DllRegisterServer), out)) return 0;
  return koUtf8ToUtf16(out.data(), out.size(), nullptr) < kMaxPathChars ? 1 : 0;
}

void SetString(koHKey root, const char* key, const char* name, const char* value) {
  koHKey h = nullptr;
  if (koRegCreateKey(root, key, &h) == kRegOk) koRegSetString(h, name, value);
  koRegCloseKey(h);
}

}  // namespace

int CIEExtensionApp::InitInstance() {
  koString host;
  if (koGetExePath(host)) {
    std::string lower(host.GetString());
    for (char& c : lower)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    // Never active inside the desktop's own shell.
    if (lower.find("explorer.exe") != std::string::npos) return 0;
  }
  gModule.Init(kObjectMap, sizeof kObjectMap / sizeof kObjectMap[0], &kIEExtensionTypeLib);
  return 1;
}

void CIEExtensionApp::ExitInstance() { gModule.Term(); }

int PvModuleAttach() {
  if (gAttached == 0 && !theApp.InitInstance()) return 0;
  ++gAttached;
  return 1;
}

void PvModuleDetach() {
  if (gAttached > 0 && --gAttached == 0) theApp.ExitInstance();
}

HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (clsid == CLSID_BHO) {
    if (out == nullptr) return E_POINTER;
    return gBhoFactory.QueryInterface(iid, out);
  }
  return gModule.GetClassObject(clsid, iid, out);
}

HRESULT DllCanUnloadNow() { return gModule.GetLockCount() == 0 ? S_OK : S_FALSE; }

HRESULT DllRegisterServer() {
  // Taken first: without it nothing is written at all.
  std::string library;
  if (!GetLibraryPath(library)) return E_FAIL;
  gModule.RegisterServer(library.c_str());
  DeleteBandLists();
  ICatRegister* categories = nullptr;
  HRESULT hr = koGetCategoryRegister(&categories);
  if (SUCCEEDED(hr)) {
    hr = categories->RegisterClassImplCategories(CLSID_IEExtensionObj, 1, &CATID_InfoBand);
    categories->Release();
  }
  SetString(kRegClassesRoot, kBhoKey, nullptr, "Postvane Gmail BHO");
  SetString(kRegClassesRoot, kBhoServerKey, nullptr, library.c_str());
  SetString(kRegClassesRoot, kBhoServerKey, "ThreadingModel", "Apartment");
  SetString(kRegClassesRoot, kBhoServerKey, "Version", kProductVersion);
  SetString(kRegLocalMachine, kBhoListKey, nullptr, "");
  SetString(kRegCurrentUser, kExplorerBarKey, nullptr, "");
  koHKey bar = nullptr;
  if (koRegCreateKey(kRegCurrentUser, kExplorerBarKey, &bar) == kRegOk)
    koRegSetValue(bar, "BarSize", REG_BINARY, kBarSize, sizeof kBarSize);
  koRegCloseKey(bar);
  // Stored add-on settings may hold a disabled state.
  for (const char* clsid : kAddonSettings) {
    koString key(kAddonSettingsKey);
    key += clsid;
    koRegDeleteTree(kRegCurrentUser, key.GetString());
  }
  return hr;
}

HRESULT DllUnregisterServer() {
  gModule.UnregisterServer();
  DeleteBandLists();
  ICatRegister* categories = nullptr;
  HRESULT hr = koGetCategoryRegister(&categories);
  if (SUCCEEDED(hr)) {
    hr = categories->UnRegisterClassImplCategories(CLSID_IEExtensionObj, 1, &CATID_InfoBand);
    categories->Release();
  }
  koRegDeleteTree(kRegClassesRoot, kBhoKey);
  koRegDeleteTree(kRegLocalMachine, kBhoListKey);
  return hr;
}
