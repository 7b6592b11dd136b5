#include "Allocator.h"

#include <cstdlib> // defines __GLIBC__ on glibc systems

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
