#include "cli/Progress.h"

#include <chrono>
#include <cstdio>
#include <ostream>

namespace {

double steadySeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Back to the start of the line and erase to its end.
constexpr const char* wipe = "\r\x1b[K";

} // namespace

TProgress::TProgress(std::ostream& err, bool enabled, TClock clock)
    : err_(err), enabled_(enabled), clock_(clock ? std::move(clock) : TClock(steadySeconds))
{
}

TProgress::~TProgress()
{
    finish();
}

void TProgress::start(std::uint64_t total)
{
    total_ = total;
    done_ = 0;
    bytes_ = 0;
    finished_ = false;
    if (enabled_)
        started_ = lastDraw_ = clock_();
}

void TProgress::fileDone(std::uint64_t bytes)
{
    ++done_;
    bytes_ += bytes;
    if (!enabled_ || finished_)
        return;
    const double now = clock_();
    if (now - started_ < firstDrawAfter)
        return;
    if (draws_ > 0 && now - lastDraw_ < redrawEvery)
        return;
    draw(now);
}

std::string TProgress::describe(std::uint64_t done, std::uint64_t total, double bytesPerSecond)
{
    char line[96];
    std::snprintf(line, sizeof line, "%llu of %llu files, %.1f MB/s", static_cast<unsigned long long>(done),
                  static_cast<unsigned long long>(total), bytesPerSecond / 1e6);
    return line;
}

void TProgress::draw(double now)
{
    const double elapsed = now - started_;
    const double rate = elapsed > 0 ? static_cast<double>(bytes_) / elapsed : 0.0;
    // Short enough not to wrap on any terminal: a wrapped line cannot be
    // redrawn in place.
    err_ << wipe << describe(done_, total_, rate);
    err_.flush();
    shown_ = true;
    lastDraw_ = now;
    ++draws_;
}

void TProgress::hide()
{
    if (!shown_)
        return;
    err_ << wipe;
    err_.flush();
    shown_ = false;
}

void TProgress::finish()
{
    hide();
    finished_ = true;
}
