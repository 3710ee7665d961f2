// Entry of the console converter; the driver lives in cli/Driver.
#include "cli/Driver.h"
#include "text/TempFiles.h"

#include <iostream>

int main(int argc, char** argv)
{
    InstallTempFileCleanup();
    getoptlib::loadArgv(argc, argv);
    return driver::run(getoptlib::arguments, std::cout, std::cerr);
}
