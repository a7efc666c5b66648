// Test builds only (QUOR_ALLOC_FAULTS): every C++ allocation of the module passes a counter
// that can be told to fail the n-th request from now, once, so that a test can starve each
// allocation a call makes in turn and check that the call fails cleanly and frees all it took.
#if defined(QUOR_ALLOC_FAULTS)

#include <cstdlib>
#include <new>

#include "common/alloc.hpp"
#include "common/platform.hpp"

namespace {

long countdown = -1;     // requests to let through before one fails; negative: none fails
unsigned long made = 0;  // requests since the last arming
long live = 0;           // blocks handed out and not yet freed

bool fail_now() {
  ++made;
  if (countdown < 0) return false;
  return countdown-- == 0;
}

void* take(std::size_t n) {
  if (fail_now()) return nullptr;
  void* p = std::malloc(n != 0 ? n : 1);
  if (p != nullptr) ++live;
  return p;
}

void give_back(void* p) {
  if (p == nullptr) return;
  --live;
  std::free(p);
}

}  // namespace

// The test reaches these through ctypes; they are the fault build's only exports beside
// the init function.
extern "C" {
QUOR_EXPORT void quor_fault_arm(long n) {
  countdown = n;
  made = 0;
}
QUOR_EXPORT unsigned long quor_fault_made() { return made; }
QUOR_EXPORT long quor_fault_live() { return live; }
}

namespace quor::memory {

void* reallocate(void* p, std::size_t n) {
  if (fail_now()) return nullptr;
  void* q = std::realloc(p, n);
  if (q != nullptr && p == nullptr) ++live;
  return q;
}

void release(void* p) { give_back(p); }

}  // namespace quor::memory

void* operator new(std::size_t n) {
  if (void* p = take(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
  if (void* p = take(n)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return take(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return take(n); }
void operator delete(void* p) noexcept { give_back(p); }
void operator delete[](void* p) noexcept { give_back(p); }
void operator delete(void* p, std::size_t) noexcept { give_back(p); }
void operator delete[](void* p, std::size_t) noexcept { give_back(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { give_back(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { give_back(p); }

#endif
