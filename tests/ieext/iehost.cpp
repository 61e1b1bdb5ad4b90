// A stand-in for the browser that loads the side-bar library, for tests.
//
//   iehost [--refuse-bar] [WINDOWS]
//
// Finds the helper objects the registry lists for the browser, loads their
// libraries, and opens WINDOWS windows (default 1) one after the other: for
// each it makes every helper object, hands it the window and takes the window
// back, as the browser does. One line on standard output for each thing
// asked of it or seen:
//   load <library>                        a helper's library was loaded
//   window <n>                            a window opens
//   ShowBrowserBar <clsid> show=<true|false> size=<none|given>
//   window <n> held <references>          references the helpers kept (0 expected)
//   unload <S_OK|S_FALSE>                 the library's DllCanUnloadNow
// With --refuse-bar, ShowBrowserBar answers E_FAIL. Exit codes: 0 done,
// 2 no helper registered, 3 a library did not load, 4 no class object.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "core/kstring.h"
#include "platform/os/com.h"
#include "platform/os/module.h"
#include "platform/registry/registry.h"

namespace {

const char kHelperList[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";

bool gRefuseBar = false;

// One browser window; it lives on the stack, so only its count is watched.
class Window final : public IWebBrowser2 {
 public:
  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != IID_IWebBrowser2) return E_NOINTERFACE;
    *out = static_cast<IWebBrowser2*>(this);
    AddRef();
    return S_OK;
  }
  uint32_t AddRef() override { return refs_.Increment(); }
  uint32_t Release() override { return refs_.Decrement(); }
  uint32_t Held() const { return refs_.Get(); }

  HRESULT GetTypeInfoCount(uint32_t*) override { return E_NOTIMPL; }
  HRESULT GetTypeInfo(uint32_t, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, OLECHAR**, uint32_t, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID, REFIID, LCID, uint16_t, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                 uint32_t*) override {
    return E_NOTIMPL;
  }

  HRESULT ShowBrowserBar(VARIANT* clsid, VARIANT* show, VARIANT* size) override {
    koString name;
    if (clsid != nullptr && clsid->vt == VT_BSTR && clsid->bstrVal != nullptr)
      name.SetAsWideChar(clsid->bstrVal);
    else
      name.SetAs("(not a string)");
    const char* shown = show == nullptr || show->vt != VT_BOOL ? "(not a boolean)"
                        : show->boolVal == VARIANT_TRUE    ? "true"
                        : show->boolVal == VARIANT_FALSE   ? "false"
                                                           : "(not a boolean)";
    printf("ShowBrowserBar %s show=%s size=%s\n", name.GetString(), shown,
           size == nullptr || size->vt == VT_EMPTY ? "none" : "given");
    return gRefuseBar ? E_FAIL : S_OK;
  }

 private:
  koRefCount refs_;
};

struct Helper {
  CLSID clsid;
  std::unique_ptr<koModule> module;
  koDllGetClassObjectFn get_class_object = nullptr;
};

// The helpers' classes from the registry, as the browser finds them.
std::vector<std::string> RegisteredHelpers() {
  std::vector<std::string> found;
  koHKey list = nullptr;
  if (koRegOpenKey(kRegLocalMachine, kHelperList, kRegRead, &list) != kRegOk) return found;
  koString name;
  for (uint32_t i = 0; koRegEnumKey(list, i, name) == kRegOk; ++i) found.push_back(name.GetString());
  koRegCloseKey(list);
  return found;
}

int LoadHelper(const std::string& clsid_text, Helper& helper) {
  if (!koGuidFromText(clsid_text.c_str(), &helper.clsid)) return 0;
  std::string key = "CLSID\\" + clsid_text + "\\InProcServer32";
  koHKey server = nullptr;
  koString library;
  long rc = koRegOpenKey(kRegClassesRoot, key.c_str(), kRegRead, &server);
  if (rc == kRegOk) rc = koRegGetString(server, nullptr, library);
  koRegCloseKey(server);
  if (rc != kRegOk) return 0;
  helper.module.reset(new koModule());
  if (!helper.module->Load(library.GetString())) {
    printf("load failed: %s\n", helper.module->Error().c_str());
    return 0;
  }
  printf("load %s\n", library.GetString());
  helper.get_class_object =
      reinterpret_cast<koDllGetClassObjectFn>(helper.module->Symbol(kDllGetClassObject));
  return helper.get_class_object != nullptr ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  int windows = 1;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--refuse-bar") == 0)
      gRefuseBar = true;
    else
      windows = atoi(argv[i]);
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::vector<Helper> helpers;
  for (const std::string& clsid : RegisteredHelpers()) {
    helpers.emplace_back();
    if (!LoadHelper(clsid, helpers.back())) return 3;
  }
  if (helpers.empty()) {
    printf("no helper registered\n");
    return 2;
  }
  for (int n = 1; n <= windows; ++n) {
    printf("window %d\n", n);
    Window window;
    for (Helper& helper : helpers) {
      IClassFactory* factory = nullptr;
      IObjectWithSite* object = nullptr;
      if (FAILED(helper.get_class_object(helper.clsid, IID_IClassFactory,
                                         reinterpret_cast<void**>(&factory))) ||
          FAILED(factory->CreateInstance(nullptr, IID_IObjectWithSite,
                                         reinterpret_cast<void**>(&object)))) {
        printf("no object\n");
        return 4;
      }
      factory->Release();
      object->SetSite(static_cast<IWebBrowser2*>(&window));
      // The window closes.
      object->SetSite(nullptr);
      object->Release();
    }
    printf("window %d held %u\n", n, window.Held());
  }
  for (Helper& helper : helpers) {
    koDllEntryFn can_unload = reinterpret_cast<koDllEntryFn>(helper.module->Symbol(kDllCanUnloadNow));
    printf("unload %s\n", can_unload == nullptr ? "(no entry)" : can_unload() == S_OK ? "S_OK" : "S_FALSE");
  }
  return 0;
}
