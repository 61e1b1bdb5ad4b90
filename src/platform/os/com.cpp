#include "platform/os/com.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/os/utf.h"

void koGuidToText(const GUID& g, char* out) {
  snprintf(out, kGuidTextLength + 1, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
           static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
           g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
}

int koGuidFromText(const char* text, GUID* guid) {
  if (text == nullptr || strlen(text) != kGuidTextLength || text[0] != '{' ||
      text[kGuidTextLength - 1] != '}')
    return 0;
  // Positions of the dashes; every other inner character is a hex digit.
  for (int i = 1; i < kGuidTextLength - 1; ++i) {
    bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    char c = text[i];
    bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (dash ? c != '-' : !hex) return 0;
  }
  char copy[kGuidTextLength + 1];
  memcpy(copy, text, sizeof copy);
  *guid = koGuid(copy);
  return 1;
}

namespace {

// The byte length sits in the 4 bytes before the first unit.
uint32_t* Header(BSTR s) { return reinterpret_cast<uint32_t*>(s) - 1; }

}  // namespace

BSTR koSysAllocStringLen(const OLECHAR* text, uint32_t n) {
  if (n > (UINT32_MAX - 8) / sizeof(OLECHAR)) return nullptr;
  void* block = malloc(sizeof(uint32_t) + (n + 1) * sizeof(OLECHAR));
  if (block == nullptr) return nullptr;
  *static_cast<uint32_t*>(block) = n * sizeof(OLECHAR);
  BSTR s = reinterpret_cast<BSTR>(static_cast<uint32_t*>(block) + 1);
  if (text != nullptr)
    memcpy(s, text, n * sizeof(OLECHAR));
  else
    memset(s, 0, n * sizeof(OLECHAR));
  s[n] = 0;
  return s;
}

BSTR koSysAllocString(const OLECHAR* text) {
  if (text == nullptr) return nullptr;
  uint32_t n = 0;
  while (text[n] != 0) ++n;
  return koSysAllocStringLen(text, n);
}

BSTR koSysAllocStringUtf8(const char* text) {
  if (text == nullptr) return nullptr;
  size_t bytes = strlen(text);
  size_t units = koUtf8ToUtf16(text, bytes, nullptr);
  if (units > UINT32_MAX / 4) return nullptr;
  BSTR s = koSysAllocStringLen(nullptr, static_cast<uint32_t>(units));
  if (s != nullptr) koUtf8ToUtf16(text, bytes, s);
  return s;
}

uint32_t koSysStringLen(BSTR s) { return s == nullptr ? 0 : *Header(s) / sizeof(OLECHAR); }

void koSysFreeString(BSTR s) {
  if (s != nullptr) free(Header(s));
}

void koVariantInit(VARIANT* v) {
  memset(v, 0, sizeof *v);
  v->vt = VT_EMPTY;
}

HRESULT koVariantClear(VARIANT* v) {
  switch (v->vt) {
    case VT_BSTR:
      koSysFreeString(v->bstrVal);
      break;
    case VT_UNKNOWN:
      if (v->punkVal != nullptr) v->punkVal->Release();
      break;
    case VT_DISPATCH:
      if (v->pdispVal != nullptr) v->pdispVal->Release();
      break;
    default:
      break;
  }
  koVariantInit(v);
  return S_OK;
}
