// What every object of the library declares and does alike: the counting
// half of IUnknown and the IDispatch methods. Objects delete themselves when
// their count reaches 0.
#ifndef PV_IEEXT_COMOBJECT_H
#define PV_IEEXT_COMOBJECT_H

#include "platform/os/com.h"

#define PV_IUNKNOWN_METHODS                            \
  HRESULT QueryInterface(REFIID iid, void** out) override; \
  uint32_t AddRef() override;                          \
  uint32_t Release() override;

#define PV_IDISPATCH_METHODS                                                              \
  HRESULT GetTypeInfoCount(uint32_t* count) override;                                     \
  HRESULT GetTypeInfo(uint32_t index, LCID lcid, ITypeInfo** out) override;               \
  HRESULT GetIDsOfNames(REFIID iid, OLECHAR** names, uint32_t count, LCID lcid,           \
                        DISPID* ids) override;                                            \
  HRESULT Invoke(DISPID id, REFIID iid, LCID lcid, uint16_t flags, DISPPARAMS* params,    \
                 VARIANT* result, EXCEPINFO* exception, uint32_t* bad_argument) override;

// AddRef and Release of a class with a koRefCount refs_.
#define PV_IMPLEMENT_REFCOUNT(Class)                 \
  uint32_t Class::AddRef() { return refs_.Increment(); } \
  uint32_t Class::Release() {                        \
    uint32_t left = refs_.Decrement();               \
    if (left == 0) delete this;                      \
    return left;                                     \
  }

// Releases the interface and forgets it.
template <class T>
void koReleaseAndClear(T*& p) {
  if (p != nullptr) p->Release();
  p = nullptr;
}

#endif  // PV_IEEXT_COMOBJECT_H
