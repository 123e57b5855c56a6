// The allocation seam; see alloc_seam.h.
#include "scredir/alloc_seam.h"

#include <glib.h>

#include <atomic>
#include <cstdlib>

namespace {

std::atomic<int> g_failures[static_cast<size_t>(ScRedirAllocSite::kCount)];

}  // namespace

bool ScRedir_AllocFails(ScRedirAllocSite site) {
  std::atomic<int>& left = g_failures[static_cast<size_t>(site)];
  int n = left.load(std::memory_order_relaxed);
  while (n > 0) {
    if (left.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) return true;
  }
  return false;
}

void* ScRedir_TryMalloc(ScRedirAllocSite site, size_t size) {
  return ScRedir_AllocFails(site) ? nullptr : g_try_malloc(size);
}

void* ScRedir_TryMalloc0(ScRedirAllocSite site, size_t size) {
  return ScRedir_AllocFails(site) ? nullptr : g_try_malloc0(size);
}

void* ScRedir_Malloc(ScRedirAllocSite site, size_t size) {
  return ScRedir_AllocFails(site) ? nullptr : std::malloc(size);
}

void ScRedir_FailAllocForTest(ScRedirAllocSite site, int times) {
  if (times == 0) {
    for (auto& f : g_failures) f.store(0, std::memory_order_relaxed);
    return;
  }
  g_failures[static_cast<size_t>(site)].store(times, std::memory_order_relaxed);
}
