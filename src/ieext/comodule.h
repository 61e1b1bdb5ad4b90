// The library's COM module: its object map, its lock count, the class
// objects of the mapped classes and the registration of their scripts and of
// the type library.
//
// One object per library (gModule). Init and Term run at the library's start
// and end; the rest runs on the host's user-interface thread, except the lock
// count, which is atomic so objects may end on any thread.
#ifndef PV_IEEXT_COMODULE_H
#define PV_IEEXT_COMODULE_H

#include "ieext/typelib.h"
#include "platform/os/com.h"

// One line of a registration script, below the classes root. A key line
// (name null) makes the key and sets its default value when value is not
// null; a value line sets the named value of its key. "%MODULE%" in a value
// stands for the library's path. Flags apply to key lines.
enum : int {
  kScriptNoRemove = 1,     // removal leaves the key (it is shared)
  kScriptForceRemove = 2,  // registration deletes the key with all below it first
};
struct RegScriptLine {
  const char* key;
  const char* name;
  const char* value;
  int flags;
};

// Makes an object of the class and queries it for iid (the reference the
// caller gets is the only one).
typedef HRESULT (*ComCreateFn)(REFIID iid, void** out);

struct ComObjectEntry {
  const CLSID* clsid;
  ComCreateFn create;  // null: registered only, no class object is handed out
  const RegScriptLine* script;
  int script_lines;
};

// A class object that lives as long as the library: counting never ends it,
// and LockServer counts as a lock on the library.
class StaticClassFactory : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID iid, void** out) override;
  uint32_t AddRef() override { return 2; }
  uint32_t Release() override { return 1; }
  HRESULT LockServer(int lock) override;

 protected:
  ~StaticClassFactory() = default;
};

class ComModule {
 public:
  void Init(const ComObjectEntry* map, int count, const TypeLibFacts* typelib);
  void Term();

  // The class object of a mapped class with a creator, queried for iid;
  // CLASS_E_CLASSNOTAVAILABLE for any other class.
  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out);

  // Runs every entry's script and records the type library, with module as
  // the library's path. The first failure, else S_OK; each step runs anyway.
  HRESULT RegisterServer(const char* module);
  // Removes what RegisterServer made (shared keys stay).
  HRESULT UnregisterServer();

  // Objects alive and server locks.
  uint32_t Lock() { return locks_.Increment(); }
  uint32_t Unlock() { return locks_.Decrement(); }
  uint32_t GetLockCount() const { return locks_.Get(); }

 private:
  const ComObjectEntry* map_ = nullptr;
  int count_ = 0;
  const TypeLibFacts* typelib_ = nullptr;
  koRefCount locks_;
};

extern ComModule gModule;

#endif  // PV_IEEXT_COMODULE_H
