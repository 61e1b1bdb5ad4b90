// LeakSanitizer's list of leaks to let pass, for test programs that use GIO's
// content types: GIO builds its MIME database once per process and keeps it
// where LeakSanitizer cannot see it (about 100 bytes, inside libgio only).
// Include in exactly one source file of a test program.
#ifndef PV_TESTS_SUPPORT_LSAN_GIO_H
#define PV_TESTS_SUPPORT_LSAN_GIO_H

extern "C" const char* __lsan_default_suppressions() { return "leak:libgio-2.0.so\n"; }

#endif  // PV_TESTS_SUPPORT_LSAN_GIO_H
