#include "ieext/hostobjects.h"

#include <stdio.h>

#include <string>

#include "core/kstring.h"
#include "platform/desktop/window.h"
#include "platform/os/module.h"
#include "support/loopback.h"

namespace iehost {

namespace {

const char kHostWindowClass[] = "IEHostFrame";

template <class T>
HRESULT Give(T* object, void** out) {
  object->AddRef();
  *out = object;
  return S_OK;
}

// The page's <title>, or "".
std::string Title(const std::string& page) {
  size_t begin = page.find("<title>");
  size_t end = page.find("</title>");
  if (begin == std::string::npos || end == std::string::npos || end < begin) return "";
  return page.substr(begin + 7, end - begin - 7);
}

// "http://host:port/rest" -> host, port and rest; false for other forms.
bool SplitHttp(const std::string& url, std::string& host, int& port, std::string& rest) {
  const std::string scheme = "http://";
  if (url.compare(0, scheme.size(), scheme) != 0) return false;
  size_t slash = url.find('/', scheme.size());
  std::string authority = url.substr(scheme.size(), slash - scheme.size());
  rest = slash == std::string::npos ? "/" : url.substr(slash);
  size_t colon = authority.rfind(':');
  host = authority.substr(0, colon);
  port = colon == std::string::npos ? 80 : atoi(authority.c_str() + colon + 1);
  return true;
}

intptr_t HostWindowProc(koWindowId window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  return koDefWindowProc(window, message, wparam, lparam);
}

}  // namespace

std::string Utf8(BSTR text) {
  koString s;
  if (text != nullptr) s.SetAsWideChar(text);
  return s.GetString();
}

// ---- Element ---------------------------------------------------------------

HRESULT Element::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IHTMLElement)
    return Give(static_cast<IHTMLElement*>(this), out);
  if (iid == IID_IHTMLScriptElement && tag.find("script") != std::string::npos)
    return Give(static_cast<IHTMLScriptElement*>(this), out);
  if (iid == IID_IHTMLDOMNode) return Give(static_cast<IHTMLDOMNode*>(this), out);
  return E_NOINTERFACE;
}

HRESULT Element::put_id(BSTR value) {
  id = Utf8(value);
  return S_OK;
}

HRESULT Element::put_text(BSTR value) {
  text = Utf8(value);
  return S_OK;
}

HRESULT Element::appendChild(IHTMLDOMNode* child, IHTMLDOMNode** added) {
  if (child == nullptr) return E_INVALIDARG;
  // Only our own elements can be added to our own pages.
  Element* element = static_cast<Element*>(child);
  children.push_back(element);
  if (owner != nullptr) owner->host->Note("append " + element->tag + " #" + element->id + " to " + tag);
  if (added != nullptr) Give(child, reinterpret_cast<void**>(added));
  return S_OK;
}

// ---- Collections, locations, script ----------------------------------------

HRESULT ElementCollection::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IHTMLElementCollection)
    return Give(static_cast<IHTMLElementCollection*>(this), out);
  return E_NOINTERFACE;
}

HRESULT ElementCollection::item(VARIANT, VARIANT index, IDispatch** element) {
  if (element == nullptr) return E_POINTER;
  *element = nullptr;
  if (index.vt != VT_I4 || index.lVal < 0 || static_cast<size_t>(index.lVal) >= items.size()) return S_OK;
  return Give(static_cast<IHTMLElement*>(items[index.lVal]), reinterpret_cast<void**>(element));
}

HRESULT Location::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (iid == IID_IUnknown || iid == IID_IDispatch) return Give(static_cast<IHTMLLocation*>(this), out);
  return E_NOINTERFACE;
}

HRESULT Location::get_host(BSTR* out) {
  *out = koSysAllocStringUtf8(host.c_str());
  return S_OK;
}

HRESULT ScriptObject::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (iid == IID_IUnknown || iid == IID_IDispatch) return Give(static_cast<IDispatch*>(this), out);
  return E_NOINTERFACE;
}

namespace {
const char* const kPageFunctions[] = {"PostvaneGetActiveEmail", "PostvaneGetActiveContextEmail"};
}

HRESULT ScriptObject::GetIDsOfNames(REFIID, OLECHAR** names, uint32_t count, LCID, DISPID* ids) {
  if (count != 1 || names == nullptr || ids == nullptr) return E_INVALIDARG;
  std::string name = Utf8(names[0]);
  ids[0] = -1;
  // The functions exist once the page holds the script.
  if (!document->HasScript()) return DISP_E_UNKNOWNNAME;
  for (int i = 0; i < 2; ++i)
    if (name == kPageFunctions[i]) ids[0] = i + 1;
  return ids[0] == -1 ? DISP_E_UNKNOWNNAME : S_OK;
}

HRESULT ScriptObject::Invoke(DISPID id, REFIID, LCID, uint16_t flags, DISPPARAMS* params,
                             VARIANT* result, EXCEPINFO*, uint32_t*) {
  if (id < 1 || id > 2) return DISP_E_MEMBERNOTFOUND;
  std::string name = kPageFunctions[id - 1];
  document->host->Note("call " + name + (flags == DISPATCH_METHOD && params != nullptr &&
                                                 params->cArgs == 0
                                             ? ""
                                             : " (not as a method without arguments)"));
  auto answer = document->answers.find(name);
  if (result == nullptr || answer == document->answers.end()) return S_OK;
  result->vt = answer->second.first;
  if (result->vt == VT_BSTR) result->bstrVal = koSysAllocStringUtf8(answer->second.second.c_str());
  return S_OK;
}

// ---- Document --------------------------------------------------------------

Document::Document(Host* host, const std::string& name, const std::string& location_host)
    : host(host), name_(name) {
  location_.host = location_host;
  script_.document = this;
}

Document::~Document() { DropHandlers(); }

HRESULT Document::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IHTMLDocument2)
    return Give(static_cast<IHTMLDocument2*>(this), out);
  if (iid == IID_IHTMLDocument3) return Give(static_cast<IHTMLDocument3*>(this), out);
  return E_NOINTERFACE;
}

HRESULT Document::get_Script(IDispatch** out) {
  return Give(static_cast<IDispatch*>(&script_), reinterpret_cast<void**>(out));
}

HRESULT Document::get_location(IHTMLLocation** out) {
  return Give(static_cast<IHTMLLocation*>(&location_), reinterpret_cast<void**>(out));
}

HRESULT Document::createElement(BSTR tag, IHTMLElement** out) {
  Element* element = AddElement(Utf8(tag));
  return Give(static_cast<IHTMLElement*>(element), reinterpret_cast<void**>(out));
}

HRESULT Document::get_parentWindow(IHTMLWindow2** out) {
  *out = nullptr;
  if (window == nullptr) return E_FAIL;
  return Give(static_cast<IHTMLWindow2*>(window), reinterpret_cast<void**>(out));
}

HRESULT Document::attachEvent(BSTR event, IDispatch* handler, VARIANT_BOOL* result) {
  if (handler == nullptr || result == nullptr) return E_INVALIDARG;
  handler->AddRef();
  handlers_.emplace_back(Utf8(event), handler);
  host->Note("attach " + Utf8(event) + " to " + Name());
  *result = VARIANT_TRUE;
  return S_OK;
}

HRESULT Document::getElementById(BSTR id, IHTMLElement** out) {
  *out = nullptr;
  if (broken_id_lookup) return E_FAIL;
  std::string wanted = Utf8(id);
  for (Element* head : heads)
    for (Element* child : head->children)
      if (child->id == wanted) return Give(static_cast<IHTMLElement*>(child), reinterpret_cast<void**>(out));
  return S_OK;
}

HRESULT Document::getElementsByTagName(BSTR tag, IHTMLElementCollection** out) {
  collections_.emplace_back(new ElementCollection());
  ElementCollection* found = collections_.back().get();
  if (Utf8(tag) == "head") found->items = heads;
  return Give(static_cast<IHTMLElementCollection*>(found), reinterpret_cast<void**>(out));
}

Element* Document::AddElement(const std::string& tag) {
  elements_.emplace_back(new Element(tag));
  elements_.back()->owner = this;
  return elements_.back().get();
}

void Document::SetBodyProperty() {
  // A handler may be dropped while the others run: go over a copy.
  std::vector<std::pair<std::string, IDispatch*>> handlers = handlers_;
  for (auto& h : handlers) h.second->AddRef();
  for (auto& h : handlers) {
    if (h.first != "onpropertychange") continue;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    h.second->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr);
  }
  for (auto& h : handlers) h.second->Release();
}

size_t Document::Handlers(const std::string& event) const {
  size_t n = 0;
  for (const auto& h : handlers_) n += h.first == event;
  return n;
}

void Document::DropHandlers() {
  for (auto& h : handlers_) h.second->Release();
  handlers_.clear();
}

bool Document::HasScript() const {
  for (const Element* head : heads)
    for (const Element* child : head->children)
      if (child->id == "pvIEScript") return true;
  return false;
}

void Document::AppendCounted(std::vector<const Counted*>& out) const {
  out.push_back(this);
  out.push_back(&location_);
  out.push_back(&script_);
  for (const auto& e : elements_) out.push_back(e.get());
  for (const auto& c : collections_) out.push_back(c.get());
}

// ---- Window ----------------------------------------------------------------

HRESULT Window::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IHTMLWindow2 ||
      iid == IID_IHTMLFramesCollection2)
    return Give(static_cast<IHTMLWindow2*>(this), out);
  if (iid == IID_IHTMLWindow3) return Give(static_cast<IHTMLWindow3*>(this), out);
  return E_NOINTERFACE;
}

HRESULT Window::item(VARIANT* which, VARIANT* frame) {
  if (which == nullptr || frame == nullptr) return E_POINTER;
  koVariantInit(frame);
  if (which->vt != VT_BSTR) return E_INVALIDARG;
  auto it = frames.find(Utf8(which->bstrVal));
  if (it == frames.end()) return E_INVALIDARG;
  frame->vt = VT_DISPATCH;
  return Give(static_cast<IHTMLWindow2*>(it->second), reinterpret_cast<void**>(&frame->pdispVal));
}

HRESULT Window::get_frames(IHTMLFramesCollection2** out) {
  return Give(static_cast<IHTMLFramesCollection2*>(static_cast<IHTMLWindow2*>(this)),
              reinterpret_cast<void**>(out));
}

HRESULT Window::get_document(IHTMLDocument2** out) {
  *out = nullptr;
  if (document == nullptr) return E_FAIL;
  return Give(static_cast<IHTMLDocument2*>(document), reinterpret_cast<void**>(out));
}

HRESULT Window::navigate(BSTR url) {
  std::string address = Utf8(url);
  host->Note("navigate " + address);
  if (on_navigate) on_navigate(address);
  return S_OK;
}

HRESULT Window::execScript(BSTR code, BSTR language, VARIANT* result) {
  if (result != nullptr) koVariantInit(result);
  host->Note(Name() + " execScript " + Utf8(language) + " " + Utf8(code));
  return S_OK;
}

// ---- Control and its host --------------------------------------------------

Control::Control(Host* host, koWindowId parent) : host(host), parent(parent), page(host, "bar page") {
  page.on_navigate = [this](const std::string& address) {
    this->host->pending.emplace_back(this, address);
  };
}

HRESULT Control::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IWebBrowser2)
    return Give(static_cast<IWebBrowser2*>(this), out);
  if (iid == IID_IOleInPlaceActiveObject) return Give(static_cast<IOleInPlaceActiveObject*>(this), out);
  return E_NOINTERFACE;
}

HRESULT Control::get_Document(IDispatch** out) {
  *out = nullptr;
  return S_OK;
}

HRESULT Control::TranslateAccelerator(MSG* message) {
  host->Note("accelerator " + std::to_string(message->message));
  return accelerator_answer;
}

void Control::Load(const std::string& address) {
  url = address;
  text.clear();
  const std::string res = "res://";
  std::string host_name, rest;
  int port = 0;
  if (address.compare(0, res.size(), res) == 0) {
    size_t slash = address.rfind('/');
    std::string module = address.substr(res.size(), slash - res.size());
    if (!koLoadResource(module.c_str(), "HTML", atoi(address.c_str() + slash + 1), text)) {
      host->Note("no resource " + address);
      return;
    }
  } else if (SplitHttp(address, host_name, port, rest)) {
    // A browser sends the blank of an address as %20.
    std::string path;
    for (char c : rest) path += c == ' ' ? std::string("%20") : std::string(1, c);
    std::string answer = pvtest::Exchange(
        port, "GET " + path + " HTTP/1.0\r\nHost: " + host_name + ":" + std::to_string(port) + "\r\n\r\n");
    size_t end = answer.find("\r\n");
    host->Note("served " + answer.substr(0, end == std::string::npos ? answer.size() : end));
    size_t body = answer.find("\r\n\r\n");
    if (body != std::string::npos) text = answer.substr(body + 4);
  } else {
    host->Note("cannot load " + address);
    return;
  }
  host->Note("page " + Title(text));
  if (text.find("window.external.LoadPostvane(window)") != std::string::npos) CallExternal("LoadPostvane");
}

int Control::Retry() {
  if (text.find("window.external.Retry(window)") == std::string::npos) return 0;
  return CallExternal("Retry");
}

int Control::CallExternal(const char* method) {
  if (external == nullptr) {
    host->Note(std::string("no window.external for ") + method);
    return 0;
  }
  BSTR name = koSysAllocStringUtf8(method);
  OLECHAR* names[1] = {name};
  DISPID id = -1;
  HRESULT hr = external->GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &id);
  koSysFreeString(name);
  if (SUCCEEDED(hr)) {
    VARIANT arg;
    koVariantInit(&arg);
    arg.vt = VT_DISPATCH;
    arg.pdispVal = static_cast<IHTMLWindow2*>(&page);
    DISPPARAMS params = {&arg, nullptr, 1, 0};
    hr = external->Invoke(id, IID_NULL, LOCALE_SYSTEM_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                          nullptr, nullptr);
  }
  char line[96];
  snprintf(line, sizeof line, "external %s 0x%08X", method, static_cast<unsigned>(hr));
  host->Note(line);
  return 1;
}

ControlHost::~ControlHost() {
  if (control != nullptr && control->external != nullptr) control->external->Release();
}

HRESULT ControlHost::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (iid == IID_IUnknown || iid == IID_IBrowserControlHost)
    return Give(static_cast<IBrowserControlHost*>(this), out);
  return E_NOINTERFACE;
}

HRESULT ControlHost::CreateControl(const OLECHAR* url, koWindowId parent, IUnknown** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (control != nullptr) return E_UNEXPECTED;
  std::string address = Utf8(const_cast<BSTR>(url));
  host->Note("control " + address);
  control.reset(new Control(host, parent));
  host->pending.emplace_back(control.get(), address);
  return Give(static_cast<IWebBrowser2*>(control.get()), reinterpret_cast<void**>(out));
}

HRESULT ControlHost::SetExternalDispatch(IDispatch* external) {
  if (control == nullptr) return E_UNEXPECTED;
  if (external != nullptr) external->AddRef();
  if (control->external != nullptr) control->external->Release();
  control->external = external;
  host->Note(external != nullptr ? "external set" : "external cleared");
  return S_OK;
}

// ---- Site ------------------------------------------------------------------

HRESULT Site::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (iid == IID_IUnknown) return Give(static_cast<IOleWindow*>(this), out);
  if (iid == IID_IOleWindow && has_window) return Give(static_cast<IOleWindow*>(this), out);
  if (iid == IID_IInputObjectSite && has_focus_site) return Give(static_cast<IInputObjectSite*>(this), out);
  if (iid == IID_IServiceProvider && has_services) return Give(static_cast<IServiceProvider*>(this), out);
  return E_NOINTERFACE;
}

HRESULT Site::GetWindow(koWindowId* window) {
  *window = host->frame_window;
  return S_OK;
}

HRESULT Site::OnFocusChangeIS(IUnknown* object, int focus) {
  IUnknown* identity = nullptr;
  bool known = object != nullptr &&
               SUCCEEDED(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity))) &&
               identity == object;
  if (identity != nullptr) identity->Release();
  host->Note(std::string("focus ") + (focus ? "in" : "out") + (known ? "" : " (not the bar's identity)"));
  return S_OK;
}

HRESULT Site::QueryService(REFGUID service, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (service == SID_SWebBrowserApp) return host->browser.QueryInterface(iid, out);
  if (service == SID_SBrowserControlHost && has_control_host) {
    host->control_hosts.emplace_back(new ControlHost(host));
    return host->control_hosts.back()->QueryInterface(iid, out);
  }
  return E_NOINTERFACE;
}

// ---- Browser ---------------------------------------------------------------

HRESULT Browser::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IWebBrowser2)
    return Give(static_cast<IWebBrowser2*>(this), out);
  if (iid == IID_IConnectionPointContainer) return Give(static_cast<IConnectionPointContainer*>(this), out);
  return E_NOINTERFACE;
}

HRESULT Browser::ShowBrowserBar(VARIANT* clsid, VARIANT* show, VARIANT* size) {
  std::string name = clsid != nullptr && clsid->vt == VT_BSTR && clsid->bstrVal != nullptr
                         ? Utf8(clsid->bstrVal)
                         : "(not a string)";
  const char* shown = show == nullptr || show->vt != VT_BOOL ? "(not a boolean)"
                      : show->boolVal == VARIANT_TRUE    ? "true"
                      : show->boolVal == VARIANT_FALSE   ? "false"
                                                         : "(not a boolean)";
  host->Note("ShowBrowserBar " + name + " show=" + shown + " size=" +
             (size == nullptr || size->vt == VT_EMPTY ? "none" : "given"));
  return on_show_bar ? on_show_bar(name, std::string(shown) == "true") : S_OK;
}

HRESULT Browser::get_Document(IDispatch** out) {
  *out = nullptr;
  if (document == nullptr) return S_OK;
  return Give(static_cast<IHTMLDocument2*>(document), reinterpret_cast<void**>(out));
}

HRESULT Browser::FindConnectionPoint(REFIID iid, IConnectionPoint** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (iid != DIID_DWebBrowserEvents2) return E_NOINTERFACE;
  return Give(static_cast<IConnectionPoint*>(this), reinterpret_cast<void**>(out));
}

HRESULT Browser::Advise(IUnknown* sink, uint32_t* cookie) {
  if (sink == nullptr || cookie == nullptr) return E_POINTER;
  IDispatch* events = nullptr;
  if (FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&events)))) return E_NOINTERFACE;
  *cookie = next_cookie_++;
  sinks_[*cookie] = events;
  host->Note("advise " + std::to_string(*cookie));
  return S_OK;
}

HRESULT Browser::Unadvise(uint32_t cookie) {
  auto it = sinks_.find(cookie);
  if (it == sinks_.end()) return E_INVALIDARG;
  IDispatch* events = it->second;
  sinks_.erase(it);
  host->Note("unadvise " + std::to_string(cookie));
  events->Release();
  return S_OK;
}

std::vector<HRESULT> Browser::Fire(DISPID id, std::vector<VARIANT> args) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPPARAMS params = {reversed.data(), nullptr, static_cast<uint32_t>(reversed.size()), 0};
  std::vector<HRESULT> answers;
  // A sink may go while an event runs.
  std::vector<IDispatch*> sinks;
  for (auto& s : sinks_) sinks.push_back(s.second);
  for (IDispatch* sink : sinks) sink->AddRef();
  for (IDispatch* sink : sinks)
    answers.push_back(sink->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr));
  for (IDispatch* sink : sinks) sink->Release();
  return answers;
}

// ---- Host ------------------------------------------------------------------

Host::Host(bool echo) : echo_(echo) {
  koRegisterWindowClass(kHostWindowClass, HostWindowProc, nullptr);
  frame_window = koCreateWindow(kHostWindowClass, nullptr);
}

Host::~Host() {
  CloseBar();
  for (auto& d : documents_) d->DropHandlers();
  if (frame_window != 0) koDestroyWindow(frame_window);
}

void Host::Note(const std::string& line) {
  if (echo_) {
    printf("%s\n", line.c_str());
    fflush(stdout);
  }
  journal_ += line + "\n";
}

std::string Host::Take() {
  std::string taken;
  taken.swap(journal_);
  return taken;
}

Document* Host::LoadPage(const std::string& location_host, bool frame, int heads, bool complete) {
  size_t n = documents_.size();
  documents_.emplace_back(new Document(this, "top" + std::to_string(n), location_host));
  Document* top = documents_.back().get();
  windows_.emplace_back(new Window(this, "top" + std::to_string(n)));
  top->window = windows_.back().get();
  top->window->document = top;
  for (int i = 0; i < heads; ++i) top->heads.push_back(top->AddElement("head"));
  if (frame) {
    documents_.emplace_back(new Document(this, "frame" + std::to_string(n), location_host));
    Document* inner = documents_.back().get();
    inner->heads.push_back(inner->AddElement("head"));
    windows_.emplace_back(new Window(this, "frame" + std::to_string(n)));
    inner->window = windows_.back().get();
    inner->window->document = inner;
    top->window->frames["canvas_frame"] = inner->window;
  }
  browser.document = top;
  if (complete && frame) Complete(false);
  if (complete) Complete(true);
  return top;
}

std::vector<HRESULT> Host::Complete(bool top) {
  VARIANT frame, url;
  koVariantInit(&frame);
  koVariantInit(&url);
  frame.vt = VT_DISPATCH;
  if (top || browser.document == nullptr || browser.document->window->frames.empty())
    frame.pdispVal = static_cast<IWebBrowser2*>(&browser);
  else
    frame.pdispVal = static_cast<IHTMLWindow2*>(browser.document->window->frames.begin()->second);
  return browser.Fire(DISPID_DOCUMENTCOMPLETE, {frame, url});
}

std::vector<HRESULT> Host::Quit() { return browser.Fire(DISPID_QUIT, {}); }

void Host::Pump() {
  while (!pending.empty()) {
    auto next = pending.front();
    pending.erase(pending.begin());
    next.first->Load(next.second);
  }
}

HRESULT Host::OpenBar(koDllGetClassObjectFn get_class_object, REFCLSID clsid) {
  IClassFactory* factory = nullptr;
  HRESULT hr = get_class_object(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(nullptr, IID_IDeskBand, reinterpret_cast<void**>(&bar));
  factory->Release();
  if (FAILED(hr)) {
    bar = nullptr;
    return hr;
  }
  IObjectWithSite* with_site = nullptr;
  IPersistStreamInit* persist = nullptr;
  hr = bar->QueryInterface(IID_IObjectWithSite, reinterpret_cast<void**>(&with_site));
  if (SUCCEEDED(hr)) {
    hr = with_site->SetSite(static_cast<IOleWindow*>(&site));
    with_site->Release();
  }
  if (SUCCEEDED(hr)) hr = bar->QueryInterface(IID_IPersistStreamInit, reinterpret_cast<void**>(&persist));
  if (SUCCEEDED(hr)) {
    hr = persist->InitNew();
    persist->Release();
  }
  if (SUCCEEDED(hr)) hr = bar->ShowDW(1);
  DESKBANDINFO info = {};
  info.dwMask = DBIM_MINSIZE | DBIM_TITLE;
  if (SUCCEEDED(hr)) hr = bar->GetBandInfo(0, 0, &info);
  if (SUCCEEDED(hr)) {
    std::u16string title(info.wszTitle);
    Note("band " + Utf8(const_cast<BSTR>(title.c_str())) + " " + std::to_string(info.ptMinSize.x) +
         "x" + std::to_string(info.ptMinSize.y));
  }
  Pump();
  return hr;
}

void Host::CloseBar() {
  if (bar == nullptr) return;
  Quit();
  bar->CloseDW(0);
  IObjectWithSite* with_site = nullptr;
  if (SUCCEEDED(bar->QueryInterface(IID_IObjectWithSite, reinterpret_cast<void**>(&with_site)))) {
    with_site->SetSite(nullptr);
    with_site->Release();
  }
  bar->Release();
  bar = nullptr;
}

uint32_t Host::HeldCount() const {
  uint32_t n = 0;
  std::string held = StillHeld();
  for (size_t at = 0; at < held.size();) {
    size_t end = held.find('\n', at);
    n += static_cast<uint32_t>(atoi(held.c_str() + held.rfind(' ', end) + 1));
    at = end + 1;
  }
  return n;
}

std::string Host::StillHeld() const {
  std::vector<const Counted*> all{&browser, &site};
  for (const auto& h : control_hosts) {
    all.push_back(h.get());
    if (h->control != nullptr) {
      all.push_back(h->control.get());
      all.push_back(&h->control->page);
    }
  }
  for (const auto& d : documents_) d->AppendCounted(all);
  for (const auto& w : windows_) all.push_back(w.get());
  std::string held;
  for (const Counted* c : all)
    if (c->Held() != 0) held += c->Name() + " " + std::to_string(c->Held()) + "\n";
  return held;
}

}  // namespace iehost
