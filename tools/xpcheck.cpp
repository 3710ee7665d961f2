// xpcheck: checks XML files with the converter's own XML checker.
//
//   xpcheck [--verdicts] FILE...
//
// Prints each file's error lines (nothing for a well-formed file). With
// --verdicts each file's lines end with "=ok FILE" or "=error FILE", so that
// one run can judge many files. Exit status 0 when every file is
// well-formed, 1 when any file had an error line or could not be checked, 2
// for a missing argument.
#include "text/TempFiles.h"
#include "xml/XpParser.h"

#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char** argv)
{
    int first = 1;
    bool verdicts = false;
    if (argc > 1 && std::string(argv[1]) == "--verdicts") {
        verdicts = true;
        ++first;
    }
    if (argc <= first) {
        std::fprintf(stderr, "Usage: xpcheck [--verdicts] FILE...\n");
        return 2;
    }
    // An interrupted download leaves no partial file behind.
    InstallTempFileCleanup();
    int status = 0;
    TXpParser parser;
    for (int i = first; i < argc; ++i) {
        bool ok = false;
        try {
            ok = parser.ParseFromSource(argv[i]);
        } catch (const EXpParserError& e) {
            // A source that could not be opened: its lines are in ErrorLines,
            // unless the download itself said why.
            if (parser.ErrorLines.empty())
                parser.ErrorLines.push_back(std::string(argv[i]) + ": " + e.message());
        } catch (const Exception& e) {
            parser.ErrorLines.assign(1, std::string(argv[i]) + ": " + e.className() + ": " + e.message());
        } catch (const std::exception& e) {
            parser.ErrorLines.assign(1, std::string(argv[i]) + ": " + e.what());
        }
        for (const std::string& line : parser.ErrorLines)
            std::printf("%s\n", line.c_str());
        if (verdicts)
            std::printf("=%s %s\n", ok ? "ok" : "error", argv[i]);
        if (!ok)
            status = 1;
    }
    return status;
}
