// The side bar's hooks into the pages of the browser window that holds it:
// on the web-mail host the page script goes into the page once per document,
// the script is asked for the address of the conversation in view, and the
// web-mail frame's property changes make the bar ask again.
#include <new>
#include <string>

#include "core/kinifile.h"
#include "ieext/bho.h"
#include "ieext/resources.h"
#include "ieext/sidebar.h"
#include "platform/os/module.h"

namespace {

const char kScriptElementId[] = "pvIEScript";
const char kWebmailFrame[] = "canvas_frame";
const char kWebmailHostKey[] = "Webmail_Host";
const char kDefaultWebmailHost[] = "mail.google.com";

template <class T>
HRESULT Query(IUnknown* from, REFIID iid, T** out) {
  *out = nullptr;
  if (from == nullptr) return E_POINTER;
  HRESULT hr = from->QueryInterface(iid, reinterpret_cast<void**>(out));
  if (SUCCEEDED(hr) && *out == nullptr) hr = E_NOINTERFACE;
  if (FAILED(hr)) *out = nullptr;
  return hr;
}

// Owns a BSTR made from UTF-8 text.
class Text {
 public:
  explicit Text(const char* utf8) : s_(koSysAllocStringUtf8(utf8)) {}
  ~Text() { koSysFreeString(s_); }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  BSTR get() const { return s_; }
  bool ok() const { return s_ != nullptr; }

 private:
  BSTR s_;
};

bool SameObject(IUnknown* a, IUnknown* b) {
  IUnknown* ia = nullptr;
  IUnknown* ib = nullptr;
  bool same = SUCCEEDED(Query(a, IID_IUnknown, &ia)) && SUCCEEDED(Query(b, IID_IUnknown, &ib)) &&
              ia == ib;
  koReleaseAndClear(ia);
  koReleaseAndClear(ib);
  return same;
}

// The web-mail host: a setting of the shared ini file.
void WebmailHost(koString& out) {
  koString path;
  GetSharedIniPath(path);
  IniReadString("GENERAL", kWebmailHostKey, kDefaultWebmailHost, out,
                path.GetLength() > 0 ? path.GetString() : nullptr);
  if (out.GetLength() == 0) out.SetAs(kDefaultWebmailHost);
}

}  // namespace

HRESULT CIEExtensionObj::Invoke(DISPID id, REFIID iid, LCID, uint16_t, DISPPARAMS* params,
                                VARIANT*, EXCEPINFO*, uint32_t*) {
  if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (params == nullptr) return DISP_E_PARAMNOTOPTIONAL;
  if (id != DISPID_QUIT && id != DISPID_DOCUMENTCOMPLETE) return DISP_E_MEMBERNOTFOUND;
  // The browser may drop its last reference to the bar while the event runs.
  AddRef();
  if (id == DISPID_QUIT) {
    OnQuit();
  } else if (params->cArgs < 2 || params->rgvarg == nullptr) {
    Release();
    return DISP_E_PARAMNOTOPTIONAL;
  } else {
    // Arguments come last first: the frame is the last one.
    const VARIANT& frame = params->rgvarg[params->cArgs - 1];
    if (frame.vt == VT_DISPATCH && frame.pdispVal != nullptr) OnDocumentComplete(frame.pdispVal);
  }
  Release();
  return S_OK;
}

void CIEExtensionObj::OnDocumentComplete(IDispatch* frame) {
  // Sub-frames complete too; only the window's own page counts.
  if (browser_ == nullptr || !SameObject(frame, browser_)) return;
  if (!CacheTopDocument()) return;
  if (!OnWebmailHost()) return;
  if (!ScriptInjected()) {
    if (!AttachChangeHandler()) return;
    InjectScript();
  }
  AskPage("PostvaneGetActiveEmail");
}

void CIEExtensionObj::OnQuit() {
  ReleaseDocuments();
  // The browser goes: nothing more to hear from it, nothing to tell its site.
  ReleaseBrowser();
  koReleaseAndClear(input_site_);
}

int CIEExtensionObj::CacheTopDocument() {
  IDispatch* current = nullptr;
  if (FAILED(browser_->get_Document(&current)) || current == nullptr) return 0;
  IHTMLDocument2* doc2 = nullptr;
  HRESULT hr = Query(current, IID_IHTMLDocument2, &doc2);
  current->Release();
  if (FAILED(hr)) return 0;
  // A new document (a reload, another page) replaces the one kept.
  if (doc2_ != nullptr && SameObject(doc2, doc2_)) {
    doc2->Release();
    return 1;
  }
  ReleaseDocuments();
  doc2_ = doc2;
  if (FAILED(Query(doc2_, IID_IHTMLDocument3, &doc3_)) || FAILED(doc2_->get_parentWindow(&win2_)) ||
      win2_ == nullptr || FAILED(Query(win2_, IID_IHTMLWindow3, &win3_))) {
    ReleaseDocuments();
    return 0;
  }
  return 1;
}

void CIEExtensionObj::ReleaseDocuments() {
  for (EventHandler* handler : handlers_) {
    handler->Detach();
    handler->Release();
  }
  handlers_.clear();
  koReleaseAndClear(frame_doc3_);
  koReleaseAndClear(frame_doc2_);
  koReleaseAndClear(frame_win_);
  koReleaseAndClear(win3_);
  koReleaseAndClear(win2_);
  koReleaseAndClear(doc3_);
  koReleaseAndClear(doc2_);
}

int CIEExtensionObj::OnWebmailHost() {
  IHTMLLocation* location = nullptr;
  if (FAILED(doc2_->get_location(&location)) || location == nullptr) return 0;
  BSTR host = nullptr;
  HRESULT hr = location->get_host(&host);
  location->Release();
  koString text;
  if (SUCCEEDED(hr) && host != nullptr) text.SetAsWideChar(host);
  koSysFreeString(host);
  koString webmail;
  WebmailHost(webmail);
  return SUCCEEDED(hr) && text.EqualsNoCase(webmail.GetString()) ? 1 : 0;
}

int CIEExtensionObj::ScriptInjected() {
  Text id(kScriptElementId);
  IHTMLElement* element = nullptr;
  // A lookup that fails counts as a script already there: never two copies.
  if (!id.ok() || FAILED(doc3_->getElementById(id.get(), &element))) return 1;
  int found = element != nullptr;
  koReleaseAndClear(element);
  return found;
}

int CIEExtensionObj::AttachChangeHandler() {
  IHTMLFramesCollection2* frames = nullptr;
  if (FAILED(win2_->get_frames(&frames)) || frames == nullptr) return 0;
  VARIANT name, item;
  koVariantInit(&name);
  koVariantInit(&item);
  name.vt = VT_BSTR;
  name.bstrVal = koSysAllocStringUtf8(kWebmailFrame);
  HRESULT hr = name.bstrVal != nullptr ? frames->item(&name, &item) : E_OUTOFMEMORY;
  frames->Release();
  koVariantClear(&name);
  IHTMLWindow2* frame = nullptr;
  IHTMLDocument2* doc2 = nullptr;
  IHTMLDocument3* doc3 = nullptr;
  if (SUCCEEDED(hr) && item.vt == VT_DISPATCH) hr = Query(item.pdispVal, IID_IHTMLWindow2, &frame);
  else hr = E_FAIL;
  koVariantClear(&item);
  if (SUCCEEDED(hr)) hr = frame->get_document(&doc2);
  if (SUCCEEDED(hr)) hr = Query(doc2, IID_IHTMLDocument3, &doc3);
  EventHandler* handler = nullptr;
  if (SUCCEEDED(hr)) {
    handler = new (std::nothrow) EventHandler(OnPropertyChange, this, "", 0);
    if (handler == nullptr) hr = E_OUTOFMEMORY;
  }
  if (SUCCEEDED(hr)) {
    handler->AddRef();
    Text event("onpropertychange");
    VARIANT_BOOL attached = VARIANT_FALSE;
    hr = event.ok() ? doc3->attachEvent(event.get(), handler, &attached) : E_OUTOFMEMORY;
    if (SUCCEEDED(hr) && attached != VARIANT_TRUE) hr = E_FAIL;
  }
  if (FAILED(hr)) {
    if (handler != nullptr) {
      handler->Detach();
      handler->Release();
    }
    koReleaseAndClear(doc3);
    koReleaseAndClear(doc2);
    koReleaseAndClear(frame);
    return 0;
  }
  handlers_.push_back(handler);
  koReleaseAndClear(frame_doc3_);
  koReleaseAndClear(frame_doc2_);
  koReleaseAndClear(frame_win_);
  frame_win_ = frame;
  frame_doc2_ = doc2;
  frame_doc3_ = doc3;
  return 1;
}

void CIEExtensionObj::InjectScript() {
  std::string script;
  if (!koLoadResource(kLibraryName, kScriptResource, kPageScriptId, script)) return;
  // The script's bytes are UTF-8; a zero byte would end the text early.
  Text text(script.c_str());
  Text tag("<script defer>");
  Text id(kScriptElementId);
  Text head_tag("head");
  if (!text.ok() || !tag.ok() || !id.ok() || !head_tag.ok()) return;

  IHTMLElementCollection* heads = nullptr;
  IDispatch* head = nullptr;
  IHTMLDOMNode* head_node = nullptr;
  IHTMLElement* element = nullptr;
  IHTMLScriptElement* script_element = nullptr;
  IHTMLDOMNode* node = nullptr;
  IHTMLDOMNode* added = nullptr;
  VARIANT name, index;
  koVariantInit(&name);
  koVariantInit(&index);
  name.vt = VT_I4;
  index.vt = VT_I4;
  HRESULT hr = doc2_->createElement(tag.get(), &element);
  if (SUCCEEDED(hr) && element == nullptr) hr = E_FAIL;
  if (SUCCEEDED(hr)) hr = element->put_id(id.get());
  if (SUCCEEDED(hr)) hr = Query(element, IID_IHTMLScriptElement, &script_element);
  if (SUCCEEDED(hr)) hr = script_element->put_text(text.get());
  if (SUCCEEDED(hr)) hr = doc3_->getElementsByTagName(head_tag.get(), &heads);
  if (SUCCEEDED(hr) && heads == nullptr) hr = E_FAIL;
  // No head: nothing is put in.
  if (SUCCEEDED(hr)) hr = heads->item(name, index, &head);
  if (SUCCEEDED(hr) && head == nullptr) hr = E_FAIL;
  if (SUCCEEDED(hr)) hr = Query(head, IID_IHTMLDOMNode, &head_node);
  if (SUCCEEDED(hr)) hr = Query(element, IID_IHTMLDOMNode, &node);
  if (SUCCEEDED(hr)) head_node->appendChild(node, &added);
  koReleaseAndClear(added);
  koReleaseAndClear(node);
  koReleaseAndClear(head_node);
  koReleaseAndClear(head);
  koReleaseAndClear(heads);
  koReleaseAndClear(script_element);
  koReleaseAndClear(element);
}

int CIEExtensionObj::CallPageFunction(const char* name, koString& out) {
  out.Clear();
  if (doc2_ == nullptr) return 0;
  IDispatch* script = nullptr;
  if (FAILED(doc2_->get_Script(&script)) || script == nullptr) return 0;
  Text function(name);
  OLECHAR* names[1] = {function.get()};
  DISPID id = -1;
  HRESULT hr = function.ok() ? script->GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &id)
                             : E_OUTOFMEMORY;
  VARIANT result;
  koVariantInit(&result);
  if (SUCCEEDED(hr)) {
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    hr = script->Invoke(id, IID_NULL, LOCALE_SYSTEM_DEFAULT, DISPATCH_METHOD, &none, &result,
                        nullptr, nullptr);
  }
  script->Release();
  int ok = SUCCEEDED(hr) && result.vt == VT_BSTR;
  if (ok && result.bstrVal != nullptr) out.SetAsWideChar(result.bstrVal);
  koVariantClear(&result);
  return ok;
}

void CIEExtensionObj::AskPage(const char* function) {
  koString email;
  if (CallPageFunction(function, email) && email.GetLength() > 0 && ui_ != nullptr)
    ui_->HandleContextChange(email.GetString());
}

void CIEExtensionObj::OnPropertyChange(VARIANT*, void* context, const koString&, int) {
  CIEExtensionObj* bar = static_cast<CIEExtensionObj*>(context);
  bar->AddRef();
  bar->AskPage("PostvaneGetActiveContextEmail");
  bar->Release();
}
