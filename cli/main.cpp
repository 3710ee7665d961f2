// Entry of the console converter; the driver lives in cli/Driver.
#include "cli/Driver.h"
#include "text/TempFiles.h"

#include <iostream>

#ifdef __GLIBC__
#include <malloc.h>
#endif

int main(int argc, char** argv)
{
#ifdef __GLIBC__
    // The worker threads share one heap: memory one frees serves the next
    // page of any, so the peak stays that of the pages under conversion
    // rather than of each thread's largest.
    ::mallopt(M_ARENA_MAX, 1);
    // A page's text and other page-sized blocks come from the system and go
    // back to it when freed. Left to the heap, where the threshold rises to
    // the largest block freed, a large page's text left a hole that later
    // small blocks pinned, and the batch's peak grew by most of a page.
    ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
    InstallTempFileCleanup();
    getoptlib::loadArgv(argc, argv);
    return driver::run(getoptlib::arguments, std::cout, std::cerr);
}
