#include "ieext/resources.h"

#include <cstring>

// Each file is assembled into the library's read-only data between two
// labels; the build names the folder (PV_IEEXT_RES_DIR) and rebuilds this
// file when one of them changes.
#define PV_EMBED(name, file)                                        \
  __asm__(".section .rodata\n"                                      \
          ".balign 16\n" #name ":\n"                                \
          ".incbin \"" PV_IEEXT_RES_DIR "/" file "\"\n" #name "_end:\n" \
          ".byte 0\n"                                               \
          ".previous\n");                                           \
  extern "C" const char name[];                                     \
  extern "C" const char name##_end[]

PV_EMBED(pv_res_start_page, "start.html");
PV_EMBED(pv_res_not_running_page, "notrunning.html");
PV_EMBED(pv_res_page_script, "pagescript.js");

namespace {

struct Resource {
  const char* type;
  int id;
  const char* begin;
  const char* end;
};

const Resource kResources[] = {
    {kHtmlResource, kStartPageId, pv_res_start_page, pv_res_start_page_end},
    {kHtmlResource, kNotRunningPageId, pv_res_not_running_page, pv_res_not_running_page_end},
    {kScriptResource, kPageScriptId, pv_res_page_script, pv_res_page_script_end},
};

}  // namespace

int PvFindResource(const char* type, int id, const void** data, size_t* size) {
  if (type == nullptr || data == nullptr || size == nullptr) return 0;
  for (const Resource& r : kResources) {
    if (r.id == id && strcmp(r.type, type) == 0) {
      *data = r.begin;
      *size = static_cast<size_t>(r.end - r.begin);
      return 1;
    }
  }
  return 0;
}
