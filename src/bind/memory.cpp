#include "bind/memory.hpp"

#include <unistd.h>
#if defined(__linux__)
#include <sys/sysinfo.h>
#endif

namespace bind {

namespace {

long double machine_bytes() {
#if defined(__linux__)
    struct sysinfo info{};
    if (sysinfo(&info) == 0) {
        return (static_cast<long double>(info.totalram) + static_cast<long double>(info.totalswap)) *
               info.mem_unit;
    }
#endif
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page_size > 0) return static_cast<long double>(pages) * page_size;
    return 0;  // unknown: no limit
}

}  // namespace

void require_memory(long double bytes) {
    static const long double limit = machine_bytes();
    if (limit > 0 && bytes > limit) {
        PyErr_NoMemory();
        raise();
    }
}

}  // namespace bind
