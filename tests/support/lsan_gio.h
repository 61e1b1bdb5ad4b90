// LeakSanitizer's list of leaks to let pass (support/lsan_suppressions.h),
// for test programs that use GIO's content types or the mail library's
// header parser. Include in exactly one source file of a test program.
#ifndef PV_TESTS_SUPPORT_LSAN_GIO_H
#define PV_TESTS_SUPPORT_LSAN_GIO_H

#include "support/lsan_suppressions.h"

extern "C" const char* __lsan_default_suppressions() { return PV_LSAN_SUPPRESSIONS; }

#endif  // PV_TESTS_SUPPORT_LSAN_GIO_H
