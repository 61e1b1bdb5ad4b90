// The calling thread's id as the kernel names it. Safe from any thread.
#ifndef PV_PLATFORM_OS_THREAD_ID_H
#define PV_PLATFORM_OS_THREAD_ID_H

#include <cstdint>

// Unique among the live threads of the system; never 0, so 0 can stand for "no thread".
uint32_t koCurrentThreadId();

#endif  // PV_PLATFORM_OS_THREAD_ID_H
