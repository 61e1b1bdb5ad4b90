#include "ieext/bho.h"

#include <new>

#include "core/kinifile.h"
#include "core/pathmgr.h"
#include "ieext/ieextids.h"

MyClassFactory gBhoFactory;

namespace {

const char kSection[] = "GENERAL";
const char kSideBarKey[] = "IE_SideBar_version";

}  // namespace

int GetSharedIniPath(koString& out) {
  out.Clear();
  koString dir;
  if (!PathMgr::GetLowIntegrityDataDir(dir) && !PathMgr::GetConfigDir(dir)) return 0;
  out.Format("%s/postvane.ini", dir.GetString());
  return 1;
}

BHO::BHO() { gModule.Lock(); }

BHO::~BHO() { gModule.Unlock(); }

HRESULT BHO::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (iid == IID_IUnknown || iid == IID_IObjectWithSite)
    *out = static_cast<IObjectWithSite*>(this);
  else if (iid == IID_IDispatch)
    *out = static_cast<IDispatch*>(this);
  else
    return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

PV_IMPLEMENT_REFCOUNT(BHO)

HRESULT BHO::GetTypeInfoCount(uint32_t* count) {
  if (count == nullptr) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT BHO::GetTypeInfo(uint32_t, LCID, ITypeInfo**) { return E_NOTIMPL; }

HRESULT BHO::GetIDsOfNames(REFIID, OLECHAR**, uint32_t, LCID, DISPID*) { return E_NOTIMPL; }

HRESULT BHO::Invoke(DISPID, REFIID, LCID, uint16_t, DISPPARAMS*, VARIANT*, EXCEPINFO*, uint32_t*) {
  return S_OK;
}

HRESULT BHO::SetSite(IUnknown* site) {
  // The browser lets go of the object: nothing is held between calls.
  if (site == nullptr) return S_OK;
  if (FAILED(site->QueryInterface(IID_IWebBrowser2, reinterpret_cast<void**>(&browser_))) ||
      browser_ == nullptr) {
    browser_ = nullptr;
    return S_OK;
  }
  int show = ShouldShowSideBar();
  VARIANT clsid, visible;
  koVariantInit(&clsid);
  koVariantInit(&visible);
  clsid.vt = VT_BSTR;
  clsid.bstrVal = koSysAllocStringUtf8(PV_SIDEBAR_CLSID);
  visible.vt = VT_BOOL;
  visible.boolVal = show ? VARIANT_TRUE : VARIANT_FALSE;
  // Without the class's name the call could only name no bar.
  if (clsid.bstrVal != nullptr) {
    HRESULT hr = browser_->ShowBrowserBar(&clsid, &visible, nullptr);
    // Only a bar that did open counts as shown: otherwise the next window tries again.
    if (show && hr == S_OK) MarkSideBarShown();
  }
  koVariantClear(&clsid);
  browser_->Release();
  browser_ = nullptr;
  return S_OK;
}

HRESULT BHO::GetSite(REFIID, void** out) {
  if (out != nullptr) *out = nullptr;
  return E_NOINTERFACE;
}

int BHO::ShouldShowSideBar() {
  koString path;
  GetSharedIniPath(path);
  koString shown;
  IniReadString(kSection, kSideBarKey, "0", shown, path.GetLength() > 0 ? path.GetString() : nullptr);
  return shown.EqualsNoCase(kProductVersion) ? 0 : 1;
}

int BHO::MarkSideBarShown() {
  koString path;
  if (!GetSharedIniPath(path)) return 0;
  return IniWriteString(kSection, kSideBarKey, kProductVersion, path.GetString());
}

HRESULT MyClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  BHO* object = new (std::nothrow) BHO();
  if (object == nullptr) return E_OUTOFMEMORY;
  // Held once around the query, so a refused query deletes it again.
  object->AddRef();
  HRESULT hr = object->QueryInterface(iid, out);
  object->Release();
  return hr;
}
