// Whether the global operator new and delete that the process binds to are this library's.
// An allocator preloaded or linked ahead of it (jemalloc, mimalloc and gperftools' tcmalloc
// all define the operators), or an executable that links one in, takes them silently: the
// totals just stay low. The dynamic linker has settled the binding by the time the library's
// initialiser runs, so one look there answers for the life of the process.
#include <dlfcn.h>

#include <atomic>

#include "../budget/budget_state.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

namespace {

// The object that defines `symbol` as this library's own references resolve it (RTLD_DEFAULT
// searches the global scope, then this library's own when it was loaded locally) is this one.
bool ResolvesHere(char const* symbol) noexcept {
  Dl_info definer;
  Dl_info self;
  void const* const address = dlsym(RTLD_DEFAULT, symbol);
  return address != nullptr && dladdr(address, &definer) != 0 &&
         dladdr(reinterpret_cast<void const*>(&ResolvesHere), &self) != 0 &&
         definer.dli_fbase == self.dli_fbase;
}

// The plain forms are the ones every new and delete expression of ordinary code calls; an
// allocator that takes any operator takes these.
[[gnu::constructor]] void CheckOperatorsInEffect() noexcept {
  bool const ours = ResolvesHere("_Znwm") && ResolvesHere("_Znam") && ResolvesHere("_ZdlPv") &&
                    ResolvesHere("_ZdaPv");
  operatorsInEffect.store(ours, std::memory_order_relaxed);
}

}  // namespace

MEMMGR_INTERNAL_NAMESPACE_END

extern "C" bool mmgr_new_is_accounted(void) {
  return memmgr::operatorsInEffect.load(std::memory_order_relaxed);
}
