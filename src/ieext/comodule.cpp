#include "ieext/comodule.h"

#include <cstring>

#include "core/kstring.h"
#include "platform/desktop/registry/registry.h"

ComModule gModule;

namespace {

const int kMaxClasses = 4;
const char kModuleMark[] = "%MODULE%";

// The class object of one mapped class.
class ClassFactory final : public StaticClassFactory {
 public:
  void SetCreator(ComCreateFn create) { create_ = create; }

  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return create_(iid, out);
  }

 private:
  ComCreateFn create_ = nullptr;
};

ClassFactory gFactories[kMaxClasses];

void Expand(const char* value, const char* module, koString& out) {
  out.SetAs(value);
  // Paths never hold the mark, so one pass over the text is enough.
  int at = out.Find(kModuleMark);
  if (at >= 0) out.ReplaceAt(at, sizeof kModuleMark - 1, module);
}

// Keeps the first failure as the answer.
void Note(long rc, HRESULT& result) {
  if (rc != kRegOk && SUCCEEDED(result)) result = koHResultFromWin32(rc);
}

HRESULT SetString(const char* key, const char* name, const char* value, HRESULT& result) {
  koHKey h = nullptr;
  long rc = koRegCreateKey(kRegClassesRoot, key, &h);
  if (rc == kRegOk && value != nullptr) rc = koRegSetString(h, name, value);
  koRegCloseKey(h);
  Note(rc, result);
  return result;
}

HRESULT RunScript(const RegScriptLine* lines, int n, const char* module) {
  HRESULT result = S_OK;
  koString value;
  for (int i = 0; i < n; ++i) {
    const RegScriptLine& line = lines[i];
    if (line.name == nullptr && (line.flags & kScriptForceRemove) != 0) {
      long rc = koRegDeleteTree(kRegClassesRoot, line.key);
      if (rc != kRegNotFound) Note(rc, result);
    }
    if (line.value != nullptr) Expand(line.value, module, value);
    SetString(line.key, line.name, line.value != nullptr ? value.GetString() : nullptr, result);
  }
  return result;
}

HRESULT RemoveScript(const RegScriptLine* lines, int n) {
  HRESULT result = S_OK;
  for (int i = 0; i < n; ++i) {
    const RegScriptLine& line = lines[i];
    if (line.name != nullptr || (line.flags & kScriptNoRemove) != 0) continue;
    // Keys below one removed already are gone with it.
    long rc = koRegDeleteTree(kRegClassesRoot, line.key);
    if (rc != kRegNotFound) Note(rc, result);
  }
  return result;
}

void GuidText(const GUID& guid, koString& out) {
  char text[kGuidTextLength + 1];
  koGuidToText(guid, text);
  out.SetAs(text);
}

// "TypeLib\{libid}\<major>.<minor>"
void TypeLibKey(const TypeLibFacts& t, koString& out) {
  koString libid;
  GuidText(t.libid, libid);
  out.Format("TypeLib\\%s\\%d.%d", libid.GetString(), t.major, t.minor);
}

void InterfaceKey(const TypeLibInterface& i, koString& out) {
  koString iid;
  GuidText(i.iid, iid);
  out.Format("Interface\\%s", iid.GetString());
}

HRESULT RegisterTypeLib(const TypeLibFacts& t, const char* module) {
  HRESULT result = S_OK;
  koString key, path, text;
  TypeLibKey(t, key);
  SetString(key.GetString(), nullptr, t.help, result);
  path.Format("%s\\FLAGS", key.GetString());
  SetString(path.GetString(), nullptr, "0", result);
  const char* slash = strrchr(module, '/');
  text.SetAs(module, slash != nullptr && slash != module ? static_cast<int>(slash - module) : 1);
  path.Format("%s\\HELPDIR", key.GetString());
  SetString(path.GetString(), nullptr, text.GetString(), result);
  // Locale 0; the platform word names where the library's file lies.
  path.Format("%s\\0\\linux", key.GetString());
  SetString(path.GetString(), nullptr, module, result);
  koString libid, version;
  GuidText(t.libid, libid);
  version.Format("%d.%d", t.major, t.minor);
  for (int i = 0; i < t.interface_count; ++i) {
    InterfaceKey(t.interfaces[i], key);
    SetString(key.GetString(), nullptr, t.interfaces[i].name, result);
    path.Format("%s\\TypeLib", key.GetString());
    SetString(path.GetString(), nullptr, libid.GetString(), result);
    SetString(path.GetString(), "Version", version.GetString(), result);
  }
  return result;
}

HRESULT UnregisterTypeLib(const TypeLibFacts& t) {
  HRESULT result = S_OK;
  koString key;
  TypeLibKey(t, key);
  long rc = koRegDeleteTree(kRegClassesRoot, key.GetString());
  if (rc != kRegNotFound) Note(rc, result);
  // The library's key goes with its last version.
  koString libid;
  GuidText(t.libid, libid);
  key.Format("TypeLib\\%s", libid.GetString());
  koRegDeleteEmptyKey(kRegClassesRoot, key.GetString());
  for (int i = 0; i < t.interface_count; ++i) {
    InterfaceKey(t.interfaces[i], key);
    rc = koRegDeleteTree(kRegClassesRoot, key.GetString());
    if (rc != kRegNotFound) Note(rc, result);
  }
  return result;
}

}  // namespace

HRESULT StaticClassFactory::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
  *out = static_cast<IClassFactory*>(this);
  return S_OK;
}

HRESULT StaticClassFactory::LockServer(int lock) {
  lock ? gModule.Lock() : gModule.Unlock();
  return S_OK;
}

void ComModule::Init(const ComObjectEntry* map, int count, const TypeLibFacts* typelib) {
  map_ = map;
  count_ = count < kMaxClasses ? count : kMaxClasses;
  typelib_ = typelib;
  for (int i = 0; i < count_; ++i) gFactories[i].SetCreator(map_[i].create);
}

void ComModule::Term() {
  map_ = nullptr;
  count_ = 0;
  typelib_ = nullptr;
}

HRESULT ComModule::GetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  for (int i = 0; i < count_; ++i)
    if (*map_[i].clsid == clsid && map_[i].create != nullptr)
      return gFactories[i].QueryInterface(iid, out);
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT ComModule::RegisterServer(const char* module) {
  HRESULT result = S_OK;
  for (int i = 0; i < count_; ++i) {
    HRESULT hr = RunScript(map_[i].script, map_[i].script_lines, module);
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  }
  if (typelib_ != nullptr) {
    HRESULT hr = RegisterTypeLib(*typelib_, module);
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  }
  return result;
}

HRESULT ComModule::UnregisterServer() {
  HRESULT result = S_OK;
  for (int i = 0; i < count_; ++i) {
    HRESULT hr = RemoveScript(map_[i].script, map_[i].script_lines);
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  }
  if (typelib_ != nullptr) {
    HRESULT hr = UnregisterTypeLib(*typelib_);
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  }
  return result;
}
