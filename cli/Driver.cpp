#include "cli/Driver.h"
#include "cli/Progress.h"

#include "html/HtmlParser.h"
#include "text/Ansi.h"
#include "text/Encoding.h"
#include "text/Errors.h"
#include "text/Streams.h"
#include "text/TempFiles.h"
#include "text/Unicode.h"
#include "xml/XpParser.h"

#include <algorithm>
#include <condition_variable>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <exception>
#include <cxxabi.h>
#include <dirent.h>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <thread>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>
#include <typeinfo>

// ---------------------------------------------------------------------------
// The per-file steps over the core.

namespace {

class TPendingFile : public TPendingOutput {
public:
    explicit TPendingFile(std::unique_ptr<TReplacingFile> file) : file_(std::move(file)) {}
    void commit() override { file_->commit(); }
    bool commitIfNew() override { return file_->commitIfNew(); }
    std::string location() const override { return file_->tempName(); }
    int handle() const override { return file_->readHandle(); }
    bool identity(std::uint64_t& device, std::uint64_t& inode) const override
    {
        return file_->identity(device, inode);
    }

private:
    std::unique_ptr<TReplacingFile> file_;
};

// The run's working objects: the text list, the tree builder and the XML
// checker (without owner, RaiseErrors off: problems in a document are listed,
// not raised), and the document of the file at hand.
class TConversionSteps : public TFileSteps {
public:
    TConversionSteps() { checker_.FollowSourceDirectory = false; }
    void load(const std::string& inputPath) override
    {
        if (driver::encoding.empty()) {
            list_.loadTextFromFile(inputPath, text_);
            return;
        }
        TMemoryStream bytes;
        try {
            bytes.loadFromFile(inputPath);
        } catch (const EFOpenError& e) {
            throw EOSError::fromCode(e.errorCode);
        }
        choice_ = encoding::choose(bytes.bytes(), driver::encoding);
        if (choice_.decodedAtLoad())
            TWideStrings::joinText(encoding::decode(bytes.bytes(), choice_), text_);
        else
            list_.loadTextFromStream(bytes, text_);
    }
    bool parse() override
    {
        // The text goes to the tree builder without a copy.
        document_ = parser_.parseString(std::move(text_));
        text_.clear();
        if (document_ && !driver::encoding.empty()) {
            document_->decodedAtLoad = choice_.decodedAtLoad();
            // The tree builder reads the charset only from a meta's content.
            if (document_->charset.empty())
                document_->charset = widen(choice_.writerCharset());
        }
        return document_ != nullptr;
    }
    std::string encodingNote() const override
    {
        return driver::encoding.empty() ? std::string() : choice_.describe();
    }
    void write(const std::string& outputPath) override
    {
        document_->saveToFile(outputPath);
        // The checker's buffers need not share memory with the tree and the
        // page's text.
        document_.reset();
        parser_.releaseText();
    }
    std::vector<std::string> check(const std::string& outputPath) override
    {
        checker_.ParseFromSource(outputPath);
        return checker_.ErrorLines;
    }
    bool checkHandle(const std::string& outputPath, int handle, std::vector<std::string>& lines) override
    {
        THandleStream content(handle);
        checker_.ParseFromSource(outputPath, content);
        lines = checker_.ErrorLines;
        return true;
    }
    void freeDocument() override { document_.reset(); }
    void clear() override
    {
        list_.clear();
        text_.clear();
    }
    void releaseBuffers() override
    {
        std::u16string().swap(text_);
        parser_.releaseText();
        DomImplementation::releaseThreadCache();
#ifdef __GLIBC__
        ::malloc_trim(0);
#endif
    }
    std::unique_ptr<TFileSteps> makeWorker() override { return std::make_unique<TConversionSteps>(); }
    std::unique_ptr<TPendingOutput> writeAhead(const std::string& outputPath) override
    {
        auto file = document_->saveToPendingFile(outputPath);
        // Finished by the worker: the check can read it, and putting it in
        // place is then one link or rename.
        file->finish();
        auto pending = std::make_unique<TPendingFile>(std::move(file));
        document_.reset();
        parser_.releaseText();
        return pending;
    }

private:
    // The list only loads: its text is made straight from the bytes.
    TWideStringList list_;
    std::u16string text_;
    THtmlParser parser_;
    TXpParser checker_;
    std::unique_ptr<TDocument> document_;
    encoding::TChoice choice_;
};

} // namespace

std::unique_ptr<TFileSteps> makeConversionSteps()
{
    return std::make_unique<TConversionSteps>();
}

// ---------------------------------------------------------------------------

namespace driver {

std::string outdir;
bool info = false;
std::string encoding;
unsigned threads = 0;
std::function<bool()> errIsTerminal = [] { return ::isatty(STDERR_FILENO) == 1; };
std::function<double()> progressClock;

namespace {

// The run's progress display, wiped before any line reaches the console.
TProgress* progress = nullptr;

const std::string usageText = "Useage: \nortavixcl infiles.html [--outdir directory] [--info]";

// Writes one line and makes sure it reached its stream: a console that can
// no longer be written to ends the run instead of losing lines silently.
void say(std::ostream& out, const std::string& line)
{
    if (progress)
        progress->hide();
    out << line << '\n';
    out.flush();
    if (!out)
        throw EWriteError();
}

bool isDirectory(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool hasWildcard(const std::string& s)
{
    return s.find_first_of("*?") != std::string::npos;
}

std::string describeFailure(const std::exception& e)
{
    if (auto* ex = dynamic_cast<const Exception*>(&e))
        return std::string(ex->className()) + ": " + ex->message();
    int status = 0;
    const char* mangled = typeid(e).name();
    char* name = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string kind = status == 0 && name != nullptr ? name : mangled;
    std::free(name);
    return kind + ": " + e.what();
}

// Messages of the option parser go where the driver's lines go, and back to
// standard output when the run ends.
struct GetoptOutputGuard {
    explicit GetoptOutputGuard(std::ostream& out) { getoptlib::setGetoptOutput(out); }
    ~GetoptOutputGuard() { getoptlib::setGetoptOutput(std::cout); }
};

// A file's identity: device and inode, the same through every name and link.
using TFileId = std::pair<dev_t, ino_t>;

bool fileId(const std::string& path, TFileId& id)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return false;
    id = {st.st_dev, st.st_ino};
    return true;
}

// What a worker made of a file ahead of the batch loop.
struct TAheadResult {
    std::string outputPath;
    // The input as the worker found it just before loading it: a regular
    // file of this identity and size.
    TFileId inputId{};
    std::uint64_t inputSize = 0;
    std::exception_ptr loadFailure;
    std::string encodingNote;
    std::exception_ptr parseFailure;
    bool hasDocument = false;
    std::exception_ptr writeFailure;
    int writeErrno = 0;
    std::unique_ptr<TPendingOutput> output;
    // The checker's lines for the output, read while it waited (naming it
    // by its place); false: the batch loop checks it once in place.
    bool checked = false;
    std::vector<std::string> checkLines;
    std::exception_ptr checkFailure;
};

// A file as the patterns matched it when the run began. Kept for every file
// of the run, so it holds no more than it must.
struct TAheadJob {
    std::size_t pattern = 0; // index of its pattern among the arguments
    std::string inputPath;
    std::uint64_t size = 0;
    bool done = false; // set by the worker
    // Null once done: the worker left the file alone (not a regular file at
    // the time), and the batch loop takes it up itself.
    std::unique_ptr<TAheadResult> result;
};

// What one run knows about its files: every input its patterns match (also
// those still to come), and which input wrote each output so far.
struct TRunFiles {
    std::map<TFileId, std::string> inputs;
    std::uint64_t matched = 0; // regular files over all patterns, repeats too
    std::map<TFileId, std::pair<TFileId, std::string>> outputs;
    // Every match but directories, in the order the batch loop meets them,
    // and the size of the largest.
    std::vector<TAheadJob> expected;
    std::uint64_t largest = 0;
};

// A failure of the file at hand, reported with its name and the system's
// reason instead of a bare error code.
[[noreturn]] void failOnFile(const char* what, const std::string& path, int code)
{
    throw EOSError(code, std::string("Cannot ") + what + " file \"" + path + "\": " + systemErrorMessage(code));
}

// The checker takes "http://", "ftp://" and "file://" names as addresses; a
// local output named like one (an output folder "http:") is handed over with
// the current directory in front.
bool readsAsAddress(const std::string& path)
{
    auto starts = [&](const char* scheme) {
        const std::size_t n = std::strlen(scheme);
        if (path.size() < n)
            return false;
        for (std::size_t i = 0; i < n; ++i)
            if (std::tolower(static_cast<unsigned char>(path[i])) != scheme[i])
                return false;
        return true;
    };
    return starts("http://") || starts("ftp://") || starts("file://");
}

std::string currentDirectory()
{
    std::string dir(4096, '\0');
    while (::getcwd(dir.data(), dir.size()) == nullptr) {
        if (errno != ERANGE)
            return ".";
        dir.resize(dir.size() * 2);
    }
    dir.resize(std::strlen(dir.c_str()));
    return dir;
}

// The name the checker is given for an output. It names a file with a
// folder by its full path, which it finds by asking for the current
// directory; the full path given here saves it that, and the lines are the
// same. A name that reads as an address gets the directory in front.
std::string checkerName(const std::string& path, const std::string& workingDirectory)
{
    if (path.empty() || path[0] == '/')
        return path;
    if (readsAsAddress(path))
        return workingDirectory + "/" + path;
    if (!workingDirectory.empty() && workingDirectory[0] == '/' &&
        (path[0] == '.' || path.find('/') != std::string::npos))
        return (workingDirectory.back() == '/' ? workingDirectory : workingDirectory + "/") + path;
    return path;
}

// Worker threads that load, parse and write the files of the batch ahead of
// the batch loop, which takes each result in order: every line, skip and
// failure comes as it would on one thread, and an output is put in place
// only when the loop reaches its file. The files a run writes are never
// files it reads (such outputs are skipped), so reading ahead is safe.
//
// Memory stays near that of one thread: files under conversion at once add
// up to at most the largest input of the run (or 64 KB, so that small files
// still go two at a time), so the largest is converted alone. A file's
// check runs outside that budget; it takes little memory. Finished files
// wait as complete temporary files (without a name, or beside their
// outputs): up to 8 per worker (at most 32), enough to ride out a file whose
// check takes long.
class TAhead {
public:
    // folder: where the outputs go, ending in "/" unless empty.
    TAhead(std::vector<TAheadJob> jobs, std::uint64_t largest, const std::string& folder, TFileSteps& steps,
           unsigned count)
        : jobs_(std::move(jobs)), budget_(std::max<std::uint64_t>(largest, kBudgetFloor)),
          window_(std::min(8 * count, 32u)), folder_(folder), workingDirectory_(currentDirectory())
    {
        try {
            for (unsigned i = 0; i < count; ++i) {
                std::unique_ptr<TFileSteps> worker = steps.makeWorker();
                if (!worker)
                    break;
                workers_.push_back(std::move(worker));
            }
            for (auto& worker : workers_)
                threads_.emplace_back([this, w = worker.get()] { work(*w); });
        } catch (...) {
            stop();
            throw;
        }
    }
    ~TAhead() { stop(); }
    // False when the steps make no workers.
    bool running() const noexcept { return !threads_.empty(); }
    TAhead(const TAhead&) = delete;
    TAhead& operator=(const TAhead&) = delete;

    // The worker's result for this file once it is done, when the file is
    // the next one expected; null when the worker left it alone, or when it
    // is not the one expected: from then on the batch loop does every file
    // itself (the run changed what its patterns match).
    std::unique_ptr<TAheadResult> take(const std::string& inputPath, const std::string& outputPath)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (stopping_ || taken_ >= jobs_.size() || jobs_[taken_].inputPath != inputPath ||
            outputPathOf(inputPath) != outputPath) {
            lock.unlock();
            stop();
            return nullptr;
        }
        TAheadJob& job = jobs_[taken_];
        waitingForJob_ = true;
        jobDone_.wait(lock, [&] { return job.done; });
        waitingForJob_ = false;
        ++taken_;
        const bool wake = idleWorkers_ > 0;
        lock.unlock();
        if (wake)
            mayStart_.notify_all();
        return std::move(job.result);
    }

    // Joins the workers; outputs not taken are removed with their jobs.
    void stop() noexcept
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        mayStart_.notify_all();
        for (std::thread& t : threads_)
            t.join();
        threads_.clear();
        for (std::size_t j = taken_; j < jobs_.size(); ++j)
            jobs_[j].result.reset();
    }

private:
    // A larger budget let two of the largest pages meet: a batch's peak
    // was then twice its largest page's.
    static constexpr std::uint64_t kBudgetFloor = 64 * 1024;

    // More than half the budget: nothing of its size can be under way beside it.
    bool large(std::uint64_t size) const { return size > budget_ / 2; }

    // Job j could start but for the memory in use.
    bool fitsBudget(std::size_t j) const
    {
        return converting_ == 0 || converting_ + jobs_[j].size <= budget_;
    }

    // Job j waits for memory, not for the batch loop.
    bool heldByBudget(std::size_t j) const { return j - taken_ < window_ && !fitsBudget(j); }

    bool mayStart(std::size_t j) const { return j - taken_ < window_ && fitsBudget(j); }

    void work(TFileSteps& worker) noexcept
    {
        for (;;) {
            std::size_t j;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ++idleWorkers_;
                if (!stopping_ && next_ < jobs_.size() && heldByBudget(next_)) {
                    // A large page is under way: what this worker keeps
                    // would stand beside it at its peak.
                    lock.unlock();
                    worker.releaseBuffers();
                    lock.lock();
                }
                mayStart_.wait(lock, [&] { return stopping_ || next_ >= jobs_.size() || mayStart(next_); });
                --idleWorkers_;
                if (stopping_ || next_ >= jobs_.size())
                    return;
                j = next_++;
                converting_ += jobs_[j].size;
            }
            prepare(worker, jobs_[j]);
            // The tree and the page are gone: the next file may start while
            // this one's output is checked, which takes little memory.
            bool wakeLoop, wakeWorkers;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                converting_ -= jobs_[j].size;
                wakeWorkers = idleWorkers_ > 0;
            }
            if (wakeWorkers)
                mayStart_.notify_all();
            if (jobs_[j].result && jobs_[j].result->output)
                checkWaiting(worker, *jobs_[j].result);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                jobs_[j].done = true;
                wakeLoop = waitingForJob_ && j == taken_;
            }
            // Only who may go on is woken.
            if (wakeLoop)
                jobDone_.notify_one();
        }
    }

    std::string outputPathOf(const std::string& inputPath) const
    {
        return folder_ + outputName(inputPath.substr(directoryPart(inputPath).size()));
    }

    // The worker's share of the file's turn short of the check; every
    // failure is kept for the batch loop, which reports it where one thread
    // would have.
    void prepare(TFileSteps& worker, TAheadJob& j) noexcept
    {
        struct stat st;
        // A FIFO or a device could block; the batch loop deals with it.
        if (::stat(j.inputPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return;
        // A large page starts from what the worker keeps given back.
        if (large(j.size))
            worker.releaseBuffers();
        try {
            j.result = std::make_unique<TAheadResult>();
            j.result->outputPath = outputPathOf(j.inputPath);
            j.result->inputId = {st.st_dev, st.st_ino};
            j.result->inputSize = static_cast<std::uint64_t>(st.st_size);
        } catch (...) {
            j.result.reset(); // the batch loop does it
            return;
        }
        TAheadResult& job = *j.result;
        try {
            worker.load(j.inputPath);
            job.encodingNote = worker.encodingNote();
        } catch (...) {
            job.loadFailure = std::current_exception();
        }
        if (!job.loadFailure) {
            try {
                job.hasDocument = worker.parse();
            } catch (...) {
                job.parseFailure = std::current_exception();
            }
        }
        if (job.hasDocument) {
            try {
                errno = 0;
                job.output = worker.writeAhead(job.outputPath);
            } catch (...) {
                job.writeErrno = errno;
                job.writeFailure = std::current_exception();
            }
        }
        try {
            worker.freeDocument();
            worker.clear();
        } catch (...) {
        }
    }

    // Checks the output where it waits: the bytes are those that will be in
    // place. One without a name is read through its descriptor, under the
    // output's name. A named one waits beside its place, and the checker
    // names a file by the folder it was given and its name, so in the lines
    // the waiting name becomes the output's. An output that waits elsewhere
    // (its place is a link) is left to the batch loop.
    void checkWaiting(TFileSteps& worker, TAheadResult& job) noexcept
    {
        try {
            const int handle = job.output->handle();
            if (handle >= 0) {
                job.checked =
                    worker.checkHandle(checkerName(job.outputPath, workingDirectory_), handle, job.checkLines);
                return;
            }
            const std::string waiting = job.output->location();
            const std::string folder = directoryPart(job.outputPath);
            if (waiting.empty() || directoryPart(waiting) != folder)
                return;
            const std::string waitingName = waiting.substr(folder.size()) + ". ";
            const std::string outputName = job.outputPath.substr(folder.size()) + ". ";
            job.checkLines = worker.check(checkerName(waiting, workingDirectory_));
            for (std::string& line : job.checkLines) {
                const std::size_t at = line.compare(0, 6, "File: ") == 0 ? line.find(waitingName, 6) : std::string::npos;
                if (at != std::string::npos && (at == 6 || line[at - 1] == '/'))
                    line.replace(at, waitingName.size(), outputName);
            }
            job.checked = true;
        } catch (...) {
            job.checkLines.clear();
            job.checkFailure = std::current_exception();
            job.checked = true;
        }
    }

    std::vector<TAheadJob> jobs_;
    const std::uint64_t budget_;
    const std::size_t window_; // jobs started but not yet taken
    const std::string folder_;
    std::vector<std::unique_ptr<TFileSteps>> workers_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable jobDone_;  // the batch loop waits here
    std::condition_variable mayStart_; // idle workers wait here
    bool waitingForJob_ = false;
    unsigned idleWorkers_ = 0;
    const std::string workingDirectory_;
    std::size_t next_ = 0;  // the next job a worker starts
    std::size_t taken_ = 0; // jobs the batch loop has taken
    std::uint64_t converting_ = 0; // input bytes of the jobs under way
    bool stopping_ = false;
};

unsigned aheadThreads()
{
    if (threads != 0)
        return threads;
    const unsigned n = std::thread::hardware_concurrency();
    return std::clamp(n, 1u, 8u);
}

// The output folder as the batch loop puts it in front of output names.
std::string outputFolder()
{
    return outdir.empty() || outdir.back() == '/' ? outdir : outdir + '/';
}

// steps: the working objects, made by the first pattern that needs them and
// kept for the rest of the run, so that their buffers serve every file; so
// are the workers that run ahead (patternIndex: this pattern's place among
// the arguments).
void convertPattern(const std::string& pattern, std::size_t patternIndex, std::ostream& out,
                    const TStepsFactory& makeSteps, std::unique_ptr<TFileSteps>& steps,
                    std::unique_ptr<TAhead>& ahead, TRunFiles& files)
{
    if (!outdir.empty() && !isDirectory(outdir)) {
        say(out, "Error: Directory " + outdir + " does not exists");
        return;
    }
    outdir = outputFolder();

    if (!steps) {
        steps = makeSteps();
        auto first = std::find_if(files.expected.begin(), files.expected.end(),
                                  [&](const TAheadJob& job) { return job.pattern >= patternIndex; });
        const unsigned count = aheadThreads();
        if (count > 1 && files.expected.end() - first > 1) {
            files.expected.erase(files.expected.begin(), first);
            ahead = std::make_unique<TAhead>(std::move(files.expected), files.largest, outdir, *steps, count);
            if (!ahead->running())
                ahead.reset();
        }
        std::vector<TAheadJob>().swap(files.expected);
    }
    const std::string dir = directoryPart(pattern);
    // Asked once: nothing in a run changes it for good.
    std::string workingDirectory;

    for (const TMatch& match : findMatches(pattern)) {
        if (match.isDirectory)
            continue;
        // Outputs written ahead wait beside their places under names of
        // their own; one thread would never have met them.
        if (ahead && IsOwnTempFileName(match.name))
            continue;
        const std::string inputPath = dir + match.name;
        const std::string outputPath = outdir + outputName(match.name);
        const std::unique_ptr<TAheadResult> job = ahead ? ahead->take(inputPath, outputPath) : nullptr;

        // A file done ahead was looked at by its worker just before it was
        // loaded, as one thread would have done here.
        TFileId inputId;
        std::uint64_t inputSize;
        if (job) {
            inputId = job->inputId;
            inputSize = job->inputSize;
        } else {
            struct stat st;
            if (::stat(inputPath.c_str(), &st) != 0)
                failOnFile("open", inputPath, errno);
            // A FIFO or a device could block the run for ever or never end.
            if (!S_ISREG(st.st_mode)) {
                say(out, "Skipping " + inputPath + ": not a regular file");
                continue;
            }
            inputId = {st.st_dev, st.st_ino};
            inputSize = static_cast<std::uint64_t>(st.st_size);
        }
        // Counted done however the file's turn ends, also when skipped.
        struct TDone {
            std::uint64_t bytes;
            ~TDone()
            {
                if (progress && std::uncaught_exceptions() == 0)
                    progress->fileDone(bytes);
            }
        } done{inputSize};

        // An output never replaces a file this run reads (x.XML matched by
        // x.*, or a link to a later input), nor another input's output. One
        // done ahead goes in place at once where nothing is: it replaces
        // nothing then.
        TFileId outputId;
        bool placedNew = false;
        std::exception_ptr placeFailure; // reported where the write's would be
        int placeErrno = 0;
        if (job && job->output) {
            try {
                errno = 0;
                placedNew = job->output->commitIfNew();
            } catch (...) {
                placeFailure = std::current_exception();
                placeErrno = errno;
                placedNew = true; // nothing was there
            }
        }
        if (!placedNew && fileId(outputPath, outputId)) {
            auto input = files.inputs.find(outputId);
            if (input != files.inputs.end()) {
                say(out, "Skipping " + inputPath + ": the output would overwrite the input" +
                             (outputId == inputId ? std::string() : " " + input->second));
                continue;
            }
            auto written = files.outputs.find(outputId);
            if (written != files.outputs.end() && written->second.first != inputId) {
                say(out, "Skipping " + inputPath + ": " + outputPath + " was already written from " +
                             written->second.second);
                continue;
            }
        }

        // A file done ahead gives its results (failures too) here, where
        // one thread would have met them.
        try {
            if (!job)
                steps->load(inputPath);
            else if (job->loadFailure)
                std::rethrow_exception(job->loadFailure);
        } catch (const EOSError& e) {
            failOnFile("open", inputPath, e.errorCode != 0 ? e.errorCode : EIO);
        }
        if (info)
            say(out, "Converting " + inputPath + " -> " + outputPath +
                         (job ? job->encodingNote : steps->encodingNote()));
        if (job && job->parseFailure)
            std::rethrow_exception(job->parseFailure);
        if (job ? job->hasDocument : steps->parse()) {
            int failedAhead = -1; // errno of a failure met ahead
            std::optional<TFileId> writtenId; // known from the worker
            try {
                errno = 0;
                if (!job) {
                    steps->write(outputPath);
                } else if (job->writeFailure) {
                    failedAhead = job->writeErrno;
                    std::rethrow_exception(job->writeFailure);
                } else if (job->output) {
                    if (placeFailure) {
                        failedAhead = placeErrno;
                        std::rethrow_exception(placeFailure);
                    }
                    if (!placedNew)
                        job->output->commit();
                    std::uint64_t device, inode;
                    if (job->output->identity(device, inode))
                        writtenId = TFileId{static_cast<dev_t>(device), static_cast<ino_t>(inode)};
                    job->output.reset();
                }
            } catch (const EFCreateError&) {
                throw; // names the file already
            } catch (const Exception& e) {
                const int code = failedAhead >= 0 ? failedAhead : errno;
                throw EOSError(code, "Cannot write file \"" + outputPath + "\": " +
                                         (code != 0 ? systemErrorMessage(code) : e.message()));
            }
            if (writtenId)
                outputId = *writtenId;
            if (writtenId || fileId(outputPath, outputId))
                files.outputs[outputId] = {inputId, inputPath};
            const std::string absolute =
                !outputPath.empty() && outputPath[0] == '/'
                    ? outputPath
                    : (workingDirectory.empty() ? workingDirectory = currentDirectory() : workingDirectory) + "/" +
                          outputPath;
            const std::string location = checkerName(outputPath, workingDirectory);
            if (job && job->checkFailure)
                std::rethrow_exception(job->checkFailure);
            for (std::string line : job && job->checked ? std::move(job->checkLines) : steps->check(location)) {
                // The error line names the output as the user knows it, also
                // where the checker resolved the name to a full path.
                const std::string shown = "File: " + absolute + ". ";
                if (line.compare(0, shown.size(), shown) == 0)
                    line = "File: " + outputPath + ". " + line.substr(shown.size());
                say(out, line);
            }
            steps->freeDocument();
        }
        steps->clear();
    }
}

// Makes a display the run's own for as long as it lasts; the display is
// wiped (by its owner) before a failure is reported.
struct TProgressScope {
    explicit TProgressScope(TProgress& p) { progress = &p; }
    ~TProgressScope() { progress = nullptr; }
};

// Every file the patterns match, before any is converted.
void collectInputs(const getoptlib::argvarray& argv, int32_t first, int32_t argc, TRunFiles& files)
{
    for (int32_t i = first; i < argc; ++i) {
        const std::string pattern = argv[i];
        const std::string dir = directoryPart(pattern);
        for (const TMatch& match : findMatches(pattern)) {
            if (match.isDirectory)
                continue;
            struct stat st;
            const std::string path = dir + match.name;
            TAheadJob job;
            job.pattern = static_cast<std::size_t>(i);
            job.inputPath = path;
            if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                files.inputs.emplace(TFileId{st.st_dev, st.st_ino}, path);
                ++files.matched;
                job.size = static_cast<std::uint64_t>(st.st_size);
                files.largest = std::max(files.largest, job.size);
            }
            files.expected.push_back(std::move(job));
        }
    }
}

} // namespace

std::string outputName(const std::string& name)
{
    std::string::size_type dot = name.rfind('.');
    return (dot == std::string::npos ? name : name.substr(0, dot)) + ".XML";
}

bool matchesMask(const std::string& name, const std::string& mask)
{
    // Greedy match with one back-tracking point: the latest "*" only ever
    // needs to swallow one more character, so this is linear in practice
    // and never recursive.
    size_t n = 0, m = 0;
    size_t starMask = std::string::npos, starName = 0;
    while (n < name.size()) {
        if (m < mask.size() && (mask[m] == '?' || mask[m] == name[n])) {
            ++n;
            ++m;
        } else if (m < mask.size() && mask[m] == '*') {
            starMask = m++;
            starName = n;
        } else if (starMask != std::string::npos) {
            m = starMask + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == '*')
        ++m;
    return m == mask.size();
}

std::string directoryPart(const std::string& pattern)
{
    std::string::size_type slash = pattern.rfind('/');
    return slash == std::string::npos ? std::string() : pattern.substr(0, slash + 1);
}

std::vector<TMatch> findMatches(const std::string& pattern)
{
    const std::string dir = directoryPart(pattern);
    const std::string mask = pattern.substr(dir.size());
    std::vector<TMatch> matches;
    if (mask.empty())
        return matches;

    if (!hasWildcard(mask)) {
        // A plain name matches only itself: look it up instead of reading
        // the directory (the shell hands us thousands of such names).
        struct stat st;
        const std::string path = dir + mask;
        if (::stat(path.c_str(), &st) == 0)
            matches.push_back({mask, S_ISDIR(st.st_mode)});
        else if (::lstat(path.c_str(), &st) == 0)
            matches.push_back({mask, false});
        return matches;
    }

    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (d == nullptr)
        return matches;
    while (const dirent* entry = ::readdir(d)) {
        std::string name = entry->d_name;
        if (!matchesMask(name, mask))
            continue;
        bool directory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK)
            directory = isDirectory(dir + name);
        matches.push_back({std::move(name), directory});
    }
    ::closedir(d);
    std::sort(matches.begin(), matches.end(),
              [](const TMatch& a, const TMatch& b) { return a.name < b.name; });
    return matches;
}

bool sameFile(const std::string& a, const std::string& b)
{
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

int run(getoptlib::argvarray& argv, std::ostream& out, std::ostream& err,
        const TStepsFactory& makeSteps)
{
    const getoptlib::option longopts[] = {
        {"outdir", getoptlib::required_argument, nullptr, 0},
        {"info", getoptlib::no_argument, nullptr, 0},
        {"encoding", getoptlib::required_argument, nullptr, 0},
        {"", 0, nullptr, 0},
    };

    info = false;
    outdir.clear();
    encoding.clear();
    getoptlib::resetGetopt();
    GetoptOutputGuard guard(out);
    if (argv.empty())
        argv.emplace_back();
    const int32_t argc = static_cast<int32_t>(argv.size()) - 1;

    try {
        for (;;) {
            int32_t longind = 0;
            int32_t c = getoptlib::getopt_long(argc, argv, ":", longopts, longind);
            if (c == -1)
                break;
            if (c != 0)
                continue; // the parser has printed its message
            if (longopts[longind].name == "outdir")
                outdir = getoptlib::optarg;
            else if (longopts[longind].name == "info")
                info = true;
            else if (longopts[longind].name == "encoding") {
                // A misspelt name would silently convert everything the
                // default way: refuse before converting anything.
                if (!::encoding::isKnownName(getoptlib::optarg)) {
                    say(out, "Unknown encoding: " + getoptlib::optarg);
                    return 1;
                }
                encoding = getoptlib::optarg;
            }
        }

        if (getoptlib::optind < argc) {
            TRunFiles files;
            collectInputs(argv, getoptlib::optind, argc, files);
            TProgress shown(err, !info && errIsTerminal && errIsTerminal(), progressClock);
            TProgressScope scope(shown);
            shown.start(files.matched);
            std::unique_ptr<TFileSteps> steps;
            // Destroyed before the steps it was made from.
            std::unique_ptr<TAhead> ahead;
            for (; getoptlib::optind < argc; ++getoptlib::optind)
                convertPattern(argv[getoptlib::optind], static_cast<std::size_t>(getoptlib::optind), out,
                               makeSteps, steps, ahead, files);
            ahead.reset();
            shown.finish();
        } else {
            say(out, usageText);
        }
        return 0;
    } catch (const std::exception& e) {
        // Everything already printed comes first, then the failure.
        out.flush();
        err << describeFailure(e) << '\n';
        err.flush();
        return 1;
    } catch (...) {
        out.flush();
        err << "Unknown failure\n";
        err.flush();
        return 1;
    }
}

} // namespace driver
