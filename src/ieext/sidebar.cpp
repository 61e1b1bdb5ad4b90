#include "ieext/sidebar.h"

#include <new>

#include "ieext/comodule.h"
#include "ieext/ieextids.h"
#include "ieext/resources.h"
#include "platform/desktop/window.h"

namespace {

const char kBarWindowClass[] = "PostvaneBarWindow";
const char kTitle[] = "Postvane";

}  // namespace

CIEExtensionObj::CIEExtensionObj() { gModule.Lock(); }

CIEExtensionObj::~CIEExtensionObj() {
  if (window_ != 0) koDestroyWindow(window_);
  window_ = 0;
  DestroyControl();
  ReleaseDocuments();
  ReleaseBrowser();
  koReleaseAndClear(input_site_);
  gModule.Unlock();
}

HRESULT CIEExtensionObj::Create(REFIID iid, void** out) {
  CIEExtensionObj* bar = new (std::nothrow) CIEExtensionObj();
  if (bar == nullptr) return E_OUTOFMEMORY;
  // Held once around the query, so a refused query deletes it again.
  bar->AddRef();
  HRESULT hr = bar->QueryInterface(iid, out);
  bar->Release();
  return hr;
}

HRESULT CIEExtensionObj::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (iid == IID_IUnknown || iid == IID_IObjectWithSite)
    *out = static_cast<IObjectWithSite*>(this);
  else if (iid == IID_IDispatch || iid == IID_IIEExtensionObj)
    *out = static_cast<IIEExtensionObj*>(this);
  else if (iid == IID_IOleWindow || iid == IID_IDockingWindow || iid == IID_IDeskBand)
    *out = static_cast<IDeskBand*>(this);
  else if (iid == IID_IInputObject)
    *out = static_cast<IInputObject*>(this);
  else if (iid == IID_IPersist || iid == IID_IPersistStreamInit)
    *out = static_cast<IPersistStreamInit*>(this);
  else
    return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

PV_IMPLEMENT_REFCOUNT(CIEExtensionObj)

HRESULT CIEExtensionObj::GetTypeInfoCount(uint32_t* count) {
  if (count == nullptr) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT CIEExtensionObj::GetTypeInfo(uint32_t, LCID, ITypeInfo**) { return E_NOTIMPL; }

HRESULT CIEExtensionObj::GetIDsOfNames(REFIID, OLECHAR**, uint32_t, LCID, DISPID*) {
  return DISP_E_UNKNOWNNAME;
}

// ---- Site ------------------------------------------------------------------

HRESULT CIEExtensionObj::SetSite(IUnknown* site) {
  ReleaseDocuments();
  if (site == nullptr) return S_OK;

  koReleaseAndClear(input_site_);
  IOleWindow* ole = nullptr;
  koWindowId parent = 0;
  if (SUCCEEDED(site->QueryInterface(IID_IOleWindow, reinterpret_cast<void**>(&ole))) &&
      ole != nullptr) {
    ole->GetWindow(&parent);
    ole->Release();
  }
  if (parent == 0) return E_FAIL;
  parent_ = parent;

  if (window_ == 0) {
    if (!koRegisterWindowClass(kBarWindowClass, WindowProc, nullptr)) return E_FAIL;
    creating_site_ = site;
    window_ = koCreateWindow(kBarWindowClass, this);
    creating_site_ = nullptr;
    if (window_ == 0) return E_FAIL;
  }

  HRESULT hr = site->QueryInterface(IID_IInputObjectSite, reinterpret_cast<void**>(&input_site_));
  if (FAILED(hr)) return hr;

  IServiceProvider* services = nullptr;
  hr = site->QueryInterface(IID_IServiceProvider, reinterpret_cast<void**>(&services));
  if (FAILED(hr)) return hr;
  // A new site's browser replaces the old one and its events.
  ReleaseBrowser();
  hr = services->QueryService(SID_SWebBrowserApp, IID_IWebBrowser2,
                              reinterpret_cast<void**>(&browser_));
  services->Release();
  if (FAILED(hr)) {
    browser_ = nullptr;
    return hr;
  }
  IConnectionPointContainer* points = nullptr;
  hr = browser_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&points));
  if (SUCCEEDED(hr)) {
    hr = points->FindConnectionPoint(DIID_DWebBrowserEvents2, &events_);
    points->Release();
  }
  if (SUCCEEDED(hr)) hr = events_->Advise(static_cast<IIEExtensionObj*>(this), &cookie_);
  if (FAILED(hr)) {
    koReleaseAndClear(events_);
    return hr;
  }
  if (ui_ != nullptr) ui_->SetWebBrowser(browser_);
  return S_OK;
}

HRESULT CIEExtensionObj::GetSite(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (input_site_ == nullptr) return E_FAIL;
  return input_site_->QueryInterface(iid, out);
}

void CIEExtensionObj::ReleaseBrowser() {
  if (events_ != nullptr) {
    // Our connection holds a reference to us: keep this object alive while it goes.
    AddRef();
    events_->Unadvise(cookie_);
    koReleaseAndClear(events_);
    cookie_ = 0;
    koReleaseAndClear(browser_);
    if (ui_ != nullptr) ui_->SetWebBrowser(nullptr);
    Release();
    return;
  }
  koReleaseAndClear(browser_);
  if (ui_ != nullptr) ui_->SetWebBrowser(nullptr);
}

// ---- Window and control ----------------------------------------------------

intptr_t CIEExtensionObj::WindowProc(koWindowId window, uint32_t message, uintptr_t wparam,
                                     intptr_t lparam) {
  CIEExtensionObj* bar = static_cast<CIEExtensionObj*>(koGetWindowData(window));
  switch (message) {
    case kMsgNcCreate:
      koSetWindowData(window, reinterpret_cast<void*>(lparam));
      return 1;
    case kMsgCreate:
      return bar != nullptr && bar->CreateControl(window) ? 0 : -1;
    case kMsgSetFocus:
    case kMsgParentNotify:
      if (bar != nullptr) bar->TellFocus(1);
      return 0;
    case kMsgKillFocus:
      if (bar != nullptr) bar->TellFocus(0);
      return 0;
    case kMsgDestroy:
      if (bar != nullptr) bar->DestroyControl();
      koSetWindowData(window, nullptr);
      return 0;
    default:
      return koDefWindowProc(window, message, wparam, lparam);
  }
}

int CIEExtensionObj::CreateControl(koWindowId window) {
  IServiceProvider* services = nullptr;
  if (creating_site_ == nullptr ||
      FAILED(creating_site_->QueryInterface(IID_IServiceProvider, reinterpret_cast<void**>(&services))))
    return 0;
  HRESULT hr = services->QueryService(SID_SBrowserControlHost, IID_IBrowserControlHost,
                                      reinterpret_cast<void**>(&control_host_));
  services->Release();
  if (FAILED(hr) || control_host_ == nullptr) {
    control_host_ = nullptr;
    return 0;
  }
  koString url;
  url.Format("res://%s/%d", kLibraryName, kStartPageId);
  BSTR address = koSysAllocStringUtf8(url.GetString());
  hr = address != nullptr ? control_host_->CreateControl(address, window, &control_) : E_OUTOFMEMORY;
  koSysFreeString(address);
  if (FAILED(hr) || control_ == nullptr) {
    control_ = nullptr;
    return 0;
  }
  ui_ = new (std::nothrow) CUIIEExtensionObj();
  if (ui_ == nullptr) return 0;
  ui_->AddRef();
  if (FAILED(control_host_->SetExternalDispatch(ui_))) return 0;
  if (FAILED(control_->QueryInterface(IID_IWebBrowser2, reinterpret_cast<void**>(&page_browser_)))) {
    page_browser_ = nullptr;
    return 0;
  }
  return 1;
}

void CIEExtensionObj::DestroyControl() {
  if (ui_ != nullptr) ui_->Detach();
  if (control_host_ != nullptr) control_host_->SetExternalDispatch(nullptr);
  koReleaseAndClear(page_browser_);
  koReleaseAndClear(control_);
  koReleaseAndClear(control_host_);
  koReleaseAndClear(ui_);
}

void CIEExtensionObj::TellFocus(int focus) {
  if (input_site_ != nullptr) input_site_->OnFocusChangeIS(Identity(), focus);
}

// ---- Band ------------------------------------------------------------------

HRESULT CIEExtensionObj::GetWindow(koWindowId* window) {
  if (window == nullptr) return E_POINTER;
  *window = window_;
  return S_OK;
}

HRESULT CIEExtensionObj::ContextSensitiveHelp(int) { return E_NOTIMPL; }

HRESULT CIEExtensionObj::ShowDW(int show) {
  if (window_ != 0) koShowWindow(window_, show);
  return S_OK;
}

HRESULT CIEExtensionObj::CloseDW(uint32_t) {
  if (window_ != 0) {
    koShowWindow(window_, 0);
    koDestroyWindow(window_);
    window_ = 0;
  }
  return S_OK;
}

HRESULT CIEExtensionObj::ResizeBorderDW(const RECT*, IUnknown*, int) { return E_NOTIMPL; }

HRESULT CIEExtensionObj::GetBandInfo(uint32_t band_id, uint32_t view_mode, DESKBANDINFO* info) {
  if (info == nullptr) return E_INVALIDARG;
  band_id_ = band_id;
  view_mode_ = view_mode;
  if (info->dwMask & DBIM_MINSIZE) info->ptMinSize = POINTL{100, 206};
  if (info->dwMask & DBIM_MAXSIZE) info->ptMaxSize = POINTL{-1, -1};
  if (info->dwMask & DBIM_INTEGRAL) info->ptIntegral = POINTL{1, 1};
  if (info->dwMask & DBIM_ACTUAL) info->ptActual = POINTL{0, 0};
  if (info->dwMask & DBIM_TITLE) {
    size_t i = 0;
    for (; kTitle[i] != 0; ++i) info->wszTitle[i] = static_cast<OLECHAR>(kTitle[i]);
    info->wszTitle[i] = 0;
  }
  if (info->dwMask & DBIM_MODEFLAGS) info->dwModeFlags = DBIMF_VARIABLEHEIGHT;
  // The browser's own background.
  info->dwMask &= ~static_cast<uint32_t>(DBIM_BKCOLOR);
  return S_OK;
}

HRESULT CIEExtensionObj::UIActivateIO(int activate, MSG*) {
  if (activate && window_ != 0) TellFocus(1);
  return S_OK;
}

HRESULT CIEExtensionObj::HasFocusIO() {
  // The bar makes no windows inside its own, so its window is the only one.
  return window_ != 0 && koGetFocus() == window_ ? S_OK : S_FALSE;
}

HRESULT CIEExtensionObj::TranslateAcceleratorIO(MSG* message) {
  if (message == nullptr) return E_POINTER;
  HRESULT hr = S_FALSE;
  IOleInPlaceActiveObject* active = nullptr;
  if (control_ != nullptr &&
      SUCCEEDED(control_->QueryInterface(IID_IOleInPlaceActiveObject, reinterpret_cast<void**>(&active))) &&
      active != nullptr) {
    hr = active->TranslateAccelerator(message);
    active->Release();
  }
  if (hr == S_FALSE) {
    // No character messages to make without a keyboard layer: dispatch as it is.
    koMessage msg{message->hwnd, message->message, message->wParam, message->lParam};
    koDispatchMessage(&msg);
  }
  return S_OK;
}

// ---- Persistence -----------------------------------------------------------

HRESULT CIEExtensionObj::GetClassID(CLSID* clsid) {
  if (clsid == nullptr) return E_POINTER;
  *clsid = CLSID_IEExtensionObj;
  return S_OK;
}

HRESULT CIEExtensionObj::IsDirty() { return requires_save_ ? S_OK : S_FALSE; }

HRESULT CIEExtensionObj::Load(IStream* stream) { return stream != nullptr ? S_OK : E_POINTER; }

HRESULT CIEExtensionObj::Save(IStream* stream, int clear_dirty) {
  if (stream == nullptr) return E_POINTER;
  if (clear_dirty) requires_save_ = 0;
  return S_OK;
}

HRESULT CIEExtensionObj::GetSizeMax(uint64_t*) { return E_NOTIMPL; }

HRESULT CIEExtensionObj::InitNew() { return S_OK; }
