#include "Allocator.h"

#include <cstdio>
#include <cstdlib> // defines __GLIBC__ on glibc systems
#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

void ConfigureAllocator()
{
#if defined(__GLIBC__)
    // One arena for every thread. Measured over 200 player windows, two arenas still grew by
    // about 0.2 MB a window; one, with the trim after each window, stays flat. libvlc's large
    // buffers are mmap'd and pooled, so its threads seldom wait on the shared arena.
    mallopt(M_ARENA_MAX, 1);
#endif
}

void ReturnFreedMemory()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

qint64 ResidentBytes()
{
    // The second field of statm is the resident set, in pages.
    std::FILE* statm = std::fopen("/proc/self/statm", "re");
    if (statm == nullptr)
        return -1;
    long long total = 0;
    long long resident = 0;
    const int read = std::fscanf(statm, "%lld %lld", &total, &resident);
    std::fclose(statm);
    if (read != 2)
        return -1;
    return qint64(resident) * sysconf(_SC_PAGESIZE);
}
