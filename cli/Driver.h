// The console converter: option loop and batch loop. Every file matching a
// pattern is loaded, announced, converted, written as ".XML" and re-read by
// the XML checker, whose error lines are printed.
#pragma once

#include "cli/getoptlib.h"

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

// A complete output that is not in its place yet (see TFileSteps::writeAhead).
class TPendingOutput {
public:
    virtual ~TPendingOutput() = default;
    // Puts the output in place; raises as TFileSteps::write does.
    virtual void commit() = 0;
    // Puts the output in place when nothing is there; false, changing
    // nothing, otherwise, or when it cannot tell.
    virtual bool commitIfNew() { return false; }
    // Where the output waits, readable, until then; "" when it cannot be read
    // there (it is then checked once in place).
    virtual std::string location() const { return {}; }
    // An open descriptor from which an output that waits without a name
    // reads from its start until commit; -1 when there is none.
    virtual int handle() const { return -1; }
    // Device and inode the output will have in place, when known ahead.
    virtual bool identity(std::uint64_t& /*device*/, std::uint64_t& /*inode*/) const { return false; }
};

// The work done for each file, in the order the batch loop calls it. One
// object serves the whole run (made when the first pattern is taken up) and
// owns the working objects (the tree builder, the text list, the XML
// checker), so that their buffers serve every file; destroying it frees
// them, also when a failure passes through.
class TFileSteps {
public:
    virtual ~TFileSteps() = default;
    // Reads the input file into the text list; raises when it cannot.
    virtual void load(const std::string& inputPath) = 0;
    // Builds a document from the list's text; false when there is none.
    virtual bool parse() = 0;
    // Writes the document as XML; raises when the file cannot be written.
    virtual void write(const std::string& outputPath) = 0;
    // Re-reads the written file; returns the checker's error lines (none for
    // a well-formed file).
    virtual std::vector<std::string> check(const std::string& outputPath) = 0;
    // The same for an output that waits without a name, whose bytes are read
    // from handle; the lines name outputPath as check would. False when the
    // steps cannot: the output is then checked once in place.
    virtual bool checkHandle(const std::string& /*outputPath*/, int /*handle*/, std::vector<std::string>& /*lines*/)
    {
        return false;
    }
    virtual void freeDocument() = 0;
    // With "--encoding": the encoding the last load used and where it came
    // from, as " (utf-8 from meta)"; "" otherwise.
    virtual std::string encodingNote() const { return {}; }
    // Empties the text list.
    virtual void clear() = 0;
    // Gives back what the steps keep from one file for the next (buffers,
    // the page kept for the next document). A worker calls it before it
    // waits for a large page to be done, which then has the memory to itself.
    virtual void releaseBuffers() {}

    // A batch of several files may be spread over threads: each worker made
    // here loads, parses, writes ahead and checks the waiting output (load,
    // parse, writeAhead, freeDocument, clear, check) on its own thread, while
    // the batch loop puts the outputs in place, file by file in order, and
    // prints what the checker found. Null (the default) keeps the batch on
    // one thread.
    virtual std::unique_ptr<TFileSteps> makeWorker() { return nullptr; }
    // Like write, but the output waits, complete, until commit() on the
    // object returned; dropped uncommitted, it is removed. Null: nothing
    // waits (the default writes at once).
    virtual std::unique_ptr<TPendingOutput> writeAhead(const std::string& outputPath)
    {
        write(outputPath);
        return nullptr;
    }
};

using TStepsFactory = std::function<std::unique_ptr<TFileSteps>()>;

// The real steps over the core.
std::unique_ptr<TFileSteps> makeConversionSteps();

namespace driver {

// Program-wide state set by the options: the output directory ("" = the
// current directory; gains a trailing "/" once a pattern has checked it) and
// whether to print a "Converting" line per file.
extern std::string outdir;
extern bool info;
// "--encoding": "" (off: the 8-bit code page as always), "auto" or a forced
// encoding name.
extern std::string encoding;

// Threads that convert files ahead of the batch loop: 0 = one per processor
// (at most 8), 1 = the whole batch on one thread.
extern unsigned threads;

// Whether the failure stream is a terminal, asked once per run: only then,
// and without "--info", is a long batch's progress shown there. Tests
// replace it, and the progress display's clock (seconds; empty = steady).
extern std::function<bool()> errIsTerminal;
extern std::function<double()> progressClock;

// page.html -> page.XML, notes -> notes.XML, .profile -> .XML.
std::string outputName(const std::string& name);

// True when name matches mask, where "*" is any run of characters and "?"
// any one character.
bool matchesMask(const std::string& name, const std::string& mask);

// One entry of a directory search.
struct TMatch {
    std::string name;
    bool isDirectory = false;
};

// Entries of the pattern's directory whose names match its last component,
// hidden ones included, in byte order of name.
std::vector<TMatch> findMatches(const std::string& pattern);

// Everything up to and including the pattern's last "/"; "" when it has none.
std::string directoryPart(const std::string& pattern);

// True when both paths exist and are the same file (device and inode).
bool sameFile(const std::string& a, const std::string& b);

// Runs the program over argv (entry 0 the program path, a closing empty entry
// after the arguments). Lines go to out; a failure that ends the run is
// reported on err. Returns the exit status.
int run(getoptlib::argvarray& argv, std::ostream& out, std::ostream& err,
        const TStepsFactory& makeSteps = makeConversionSteps);

} // namespace driver
