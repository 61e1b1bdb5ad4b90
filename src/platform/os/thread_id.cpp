#include "platform/os/thread_id.h"

#include <unistd.h>

uint32_t koCurrentThreadId() { return static_cast<uint32_t>(gettid()); }
