#include "huge_pages.h"

#include <cstdint>
#include <sys/mman.h>

namespace indexlib {

void advise_huge(const void* p, size_t bytes) {
#ifdef MADV_HUGEPAGE
    // Only whole 2 MiB pages inside the array; a small array asks nothing.
    constexpr uintptr_t huge = uintptr_t{2} << 20;
    const auto at = reinterpret_cast<uintptr_t>(p);
    const uintptr_t from = (at + huge - 1) & ~(huge - 1), to = (at + bytes) & ~(huge - 1);
    if (to > from)
        madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

}  // namespace indexlib
