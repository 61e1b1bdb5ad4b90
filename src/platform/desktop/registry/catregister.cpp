#include "platform/desktop/registry/catregister.h"

#include "core/kstring.h"
#include "platform/desktop/registry/registry.h"

namespace {

void AppendGuid(const GUID& guid, koString& path) {
  char text[kGuidTextLength + 1];
  koGuidToText(guid, text);
  path += text;
}

// Adds or removes "CLSID\{class}\Implemented Categories\{category}" for each
// category; list = the list's own path. The first failure as a result code; a
// category that is not there counts as removed.
HRESULT Change(REFCLSID clsid, uint32_t count, const CATID* categories, bool add, koString& list) {
  if (count > 0 && categories == nullptr) return E_INVALIDARG;
  list.SetAs("CLSID\\");
  AppendGuid(clsid, list);
  list += "\\Implemented Categories";
  for (uint32_t i = 0; i < count; ++i) {
    koString path;
    path.SetAs(list);
    path += "\\";
    AppendGuid(categories[i], path);
    long rc = add ? koRegCreateKey(kRegClassesRoot, path.GetString(), nullptr)
                  : koRegDeleteTree(kRegClassesRoot, path.GetString());
    if (rc != kRegOk && (add || rc != kRegNotFound)) return koHResultFromWin32(rc);
  }
  return S_OK;
}

class CategoryRegister final : public ICatRegister {
 public:
  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_ICatRegister) return E_NOINTERFACE;
    *out = static_cast<ICatRegister*>(this);
    return S_OK;
  }
  uint32_t AddRef() override { return 2; }
  uint32_t Release() override { return 1; }

  HRESULT RegisterClassImplCategories(REFCLSID clsid, uint32_t count,
                                      const CATID* categories) override {
    koString list;
    return Change(clsid, count, categories, true, list);
  }

  HRESULT UnRegisterClassImplCategories(REFCLSID clsid, uint32_t count,
                                        const CATID* categories) override {
    koString list;
    HRESULT hr = Change(clsid, count, categories, false, list);
    // The list itself goes with its last entry.
    if (SUCCEEDED(hr)) koRegDeleteEmptyKey(kRegClassesRoot, list.GetString());
    return hr;
  }
};

CategoryRegister gCategoryRegister;

}  // namespace

HRESULT koGetCategoryRegister(ICatRegister** out) {
  if (out == nullptr) return E_POINTER;
  *out = &gCategoryRegister;
  return S_OK;
}
