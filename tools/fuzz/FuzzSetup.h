// Shared by the fuzz targets: a process that can neither reach the network
// nor find the project's files by a relative name, whatever a document asks
// for in its external entities.
#pragma once

#include <cstdlib>
#include <string>
#include <unistd.h>

inline void IsolateFuzzProcess()
{
    // Every download goes to a proxy port nobody listens on and fails at once.
    for (const char* v : {"http_proxy", "HTTP_PROXY", "ftp_proxy", "FTP_PROXY", "all_proxy", "ALL_PROXY"})
        ::setenv(v, "http://127.0.0.1:1", 1);
    ::unsetenv("no_proxy");
    ::unsetenv("NO_PROXY");
    static char dir[] = "/tmp/ortavix-fuzz-XXXXXX";
    if (::mkdtemp(dir) != nullptr && ::chdir(dir) == 0) {
        ::setenv("TMPDIR", dir, 1);
        std::atexit([] { ::rmdir(dir); }); // empty again: downloads are deleted
    }
}
