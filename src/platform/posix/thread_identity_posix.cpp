#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/thread_identity.h"

namespace zep::platform {

// Asked of the kernel each time: a per-thread copy would be kept per host thread.
uint32_t CurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

// The thread's control block, which pthread_self() answers too, read without
// the call into the C library where the compiler can.
uintptr_t CurrentThreadToken() {
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
  return reinterpret_cast<uintptr_t>(__builtin_thread_pointer());
#else
  return static_cast<uintptr_t>(pthread_self());
#endif
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

}  // namespace zep::platform
