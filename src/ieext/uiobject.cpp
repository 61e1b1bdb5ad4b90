#include "ieext/uiobject.h"

#include <time.h>

#include "core/kinifile.h"
#include "core/pathmgr.h"
#include "ieext/bho.h"
#include "ieext/comodule.h"
#include "ieext/ieextids.h"
#include "ieext/resources.h"
#include "ieext/typelib.h"
#include "platform/desktop/instance.h"

namespace {

const int kDefaultPort = 40000;
const DISPID kLoadPostvaneId = 0x60020000;
const DISPID kRetryId = 0x60020001;

// Navigates the window to the UTF-8 address.
void Navigate(IHTMLWindow2* window, const koString& url) {
  BSTR address = koSysAllocStringUtf8(url.GetString());
  if (address == nullptr) return;
  window->navigate(address);
  koSysFreeString(address);
}

IHTMLWindow2* AsWindow(IDispatch* page_window) {
  IHTMLWindow2* window = nullptr;
  if (page_window == nullptr ||
      FAILED(page_window->QueryInterface(IID_IHTMLWindow2, reinterpret_cast<void**>(&window))))
    return nullptr;
  return window;
}

}  // namespace

CUIIEExtensionObj::CUIIEExtensionObj() { gModule.Lock(); }

CUIIEExtensionObj::~CUIIEExtensionObj() {
  Detach();
  gModule.Unlock();
}

HRESULT CUIIEExtensionObj::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (iid != IID_IUnknown && iid != IID_IDispatch && iid != IID_IUIIEExtensionObj)
    return E_NOINTERFACE;
  *out = static_cast<IUIIEExtensionObj*>(this);
  AddRef();
  return S_OK;
}

PV_IMPLEMENT_REFCOUNT(CUIIEExtensionObj)

HRESULT CUIIEExtensionObj::GetTypeInfoCount(uint32_t* count) {
  if (count == nullptr) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT CUIIEExtensionObj::GetTypeInfo(uint32_t, LCID, ITypeInfo**) { return E_NOTIMPL; }

HRESULT CUIIEExtensionObj::GetIDsOfNames(REFIID, OLECHAR** names, uint32_t count, LCID,
                                         DISPID* ids) {
  if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
  const TypeLibInterface& ui = kIEExtensionTypeLib.interfaces[1];
  HRESULT hr = S_OK;
  for (uint32_t i = 0; i < count; ++i) {
    ids[i] = -1;  // unknown
    koString name;
    if (names[i] != nullptr) name.SetAsWideChar(names[i]);
    // Only the method's own name; arguments are not named.
    if (i > 0) {
      hr = DISP_E_UNKNOWNNAME;
      continue;
    }
    for (int m = 0; m < ui.method_count; ++m)
      if (name.EqualsNoCase(ui.methods[m].name)) ids[i] = ui.methods[m].id;
    if (ids[i] == -1) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

HRESULT CUIIEExtensionObj::Invoke(DISPID id, REFIID, LCID, uint16_t, DISPPARAMS* params,
                                  VARIANT*, EXCEPINFO*, uint32_t*) {
  if (id != kLoadPostvaneId && id != kRetryId) return DISP_E_MEMBERNOTFOUND;
  if (params == nullptr || params->cArgs != 1 || params->rgvarg == nullptr) return DISP_E_BADPARAMCOUNT;
  const VARIANT& arg = params->rgvarg[0];
  IDispatch* window = arg.vt == VT_DISPATCH ? arg.pdispVal : nullptr;
  return id == kLoadPostvaneId ? LoadPostvane(window) : Retry(window);
}

HRESULT CUIIEExtensionObj::LoadPostvane(IDispatch* page_window) {
  IHTMLWindow2* window = AsWindow(page_window);
  if (window == nullptr) return S_OK;
  if (ProgramRuns()) {
    ShowExtensionPage(window, true);
  } else {
    koString url;
    url.Format("res://%s/%d", kLibraryName, kNotRunningPageId);
    Navigate(window, url);
    Keep(window);
  }
  window->Release();
  return S_OK;
}

HRESULT CUIIEExtensionObj::Retry(IDispatch* page_window) {
  IHTMLWindow2* window = AsWindow(page_window);
  if (window == nullptr) return S_OK;
  // The waiting page asks again in 30 seconds.
  if (ProgramRuns()) ShowExtensionPage(window, false);
  window->Release();
  return S_OK;
}

void CUIIEExtensionObj::ShowExtensionPage(IHTMLWindow2* window, bool with_time) {
  koString url;
  url.Format("http://127.0.0.1:%d/extension.html?ver=%s", GetServerPort(), kProductVersion);
  if (with_time) url.AppendFormat("&t=%lld", static_cast<long long>(time(nullptr)));
  Navigate(window, url);
  Keep(window);
}

void CUIIEExtensionObj::Keep(IHTMLWindow2* window) {
  window->AddRef();
  if (page_window_ != nullptr) page_window_->Release();
  page_window_ = window;
}

HRESULT CUIIEExtensionObj::SetWebBrowser(IWebBrowser2* browser) {
  browser_ = browser;
  return browser != nullptr ? S_OK : S_FALSE;
}

void CUIIEExtensionObj::Detach() {
  if (page_window_ != nullptr) page_window_->Release();
  page_window_ = nullptr;
  browser_ = nullptr;
}

void CUIIEExtensionObj::ContextScript(const char* text, koString& out) {
  out.SetAs("pvwidget.HandleContextChange('");
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    const unsigned char c = *p;
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\'') {
      out += "\\'";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '<') {
      // "</script>" ends a script block wherever the text lands.
      out += "\\x3C";
    } else if (c < 0x20 || c == 0x7F) {
      out.AppendFormat("\\x%02X", c);
    } else if (c == 0xE2 && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9)) {
      // Line and paragraph separators end a line in older script engines.
      out.AppendFormat("\\u%04X", p[2] == 0xA8 ? 0x2028 : 0x2029);
      p += 2;
    } else {
      out.Append(reinterpret_cast<const char*>(p), 1);
    }
  }
  out += "');";
}

HRESULT CUIIEExtensionObj::HandleContextChange(const char* text) {
  if (page_window_ == nullptr || text == nullptr) return S_FALSE;
  koString script;
  ContextScript(text, script);
  BSTR code = koSysAllocStringUtf8(script.GetString());
  BSTR language = koSysAllocStringUtf8("javascript");
  VARIANT result;
  koVariantInit(&result);
  HRESULT hr = code != nullptr && language != nullptr
                   ? page_window_->execScript(code, language, &result)
                   : E_OUTOFMEMORY;
  koVariantClear(&result);
  koSysFreeString(code);
  koSysFreeString(language);
  return hr;
}

int CUIIEExtensionObj::GetServerPort() {
  koString path;
  if (!GetSharedIniPath(path)) return -1;
  return IniReadPort("GENERAL", "Port", kDefaultPort, path.GetString());
}

int CUIIEExtensionObj::ProgramRuns() {
  koString dir;
  if (!PathMgr::GetConfigDir(dir)) return 0;
  return koProbeSingleInstance(kProgramWindowClass, dir.GetString());
}
