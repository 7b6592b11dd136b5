#pragma once

#include <sys/resource.h>

// The most resident memory this test process has held so far, in kB: measured before and after
// a step, the difference bounds what the step took, however briefly.
inline long PeakResidentKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}
