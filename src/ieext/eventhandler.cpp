#include "ieext/eventhandler.h"

EventHandler::EventHandler(Callback callback, void* context, const char* name, int extra)
    : callback_(callback), context_(context), name_(name), extra_(extra) {}

HRESULT EventHandler::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (iid != IID_IUnknown && iid != IID_IDispatch) return E_NOINTERFACE;
  *out = static_cast<IDispatch*>(this);
  AddRef();
  return S_OK;
}

PV_IMPLEMENT_REFCOUNT(EventHandler)

HRESULT EventHandler::GetTypeInfoCount(uint32_t*) { return E_NOTIMPL; }

HRESULT EventHandler::GetTypeInfo(uint32_t, LCID, ITypeInfo**) { return E_NOTIMPL; }

HRESULT EventHandler::GetIDsOfNames(REFIID, OLECHAR**, uint32_t, LCID, DISPID*) {
  return E_NOTIMPL;
}

HRESULT EventHandler::Invoke(DISPID id, REFIID, LCID, uint16_t, DISPPARAMS*, VARIANT* result,
                             EXCEPINFO*, uint32_t*) {
  if (id == DISPID_VALUE && callback_ != nullptr && context_ != nullptr) {
    // The page may let go of the handler while it runs.
    AddRef();
    callback_(result, context_, name_, extra_);
    Release();
  }
  return S_OK;
}
