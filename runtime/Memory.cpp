#include "Memory.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace rt {

bool AdviseHugePages(void* begin, std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    return madvise(begin, size, MADV_HUGEPAGE) == 0;
#else
    (void)begin;
    (void)size;
    return false;
#endif
}

}  // namespace rt
