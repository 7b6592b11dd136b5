#pragma once

// libvlc decodes on threads of its own, and glibc gives busy threads arenas of their own; memory
// a closed player freed stays in those arenas, so a program that opens player after player for
// weeks would only grow. These two calls bound that.
//
// Under AddressSanitizer the heap is the sanitizer's, and glibc's allocator is never set up:
// malloc_trim would then set it up from whichever thread calls first, racing any other caller
// (a crash in glibc, or an abort when those threads end). Both calls do nothing there.

#include <cstdlib> // defines __GLIBC__ on glibc systems

#if defined(__SANITIZE_ADDRESS__)
#define CORVESSA_OWN_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORVESSA_OWN_HEAP 1
#endif
#endif

#if defined(__GLIBC__) && !defined(CORVESSA_OWN_HEAP)
#include <malloc.h>
#define CORVESSA_GLIBC_HEAP 1
#endif

// Limits the number of malloc arenas. Call first thing in main, before any thread starts.
inline void ConfigureAllocator()
{
#if defined(CORVESSA_GLIBC_HEAP)
    // One arena for every thread. Measured over 200 player windows, two arenas still grew by
    // about 0.2 MB a window; one, with the trim after each window, stays flat. libvlc's large
    // buffers are mmap'd and pooled, so its threads seldom wait on the shared arena.
    mallopt(M_ARENA_MAX, 1);
#endif
}

// Hands memory that is free in every arena back to the system. Call when a player has closed,
// or once a burst of large allocations is over.
inline void ReturnFreedMemory()
{
#if defined(CORVESSA_GLIBC_HEAP)
    malloc_trim(0);
#endif
}
