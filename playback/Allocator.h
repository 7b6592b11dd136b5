#pragma once

// libvlc decodes on threads of its own, and glibc gives busy threads arenas of their own; memory
// a closed player freed stays in those arenas, so a program that opens player after player for
// weeks would only grow. These two calls bound that.

// Limits the number of malloc arenas. Call first thing in main, before any thread starts.
void ConfigureAllocator();

// Hands memory that is free in every arena back to the system. Call when a player has closed.
void ReturnFreedMemory();
