// The one-line progress display of a long batch on standard error: files done
// of files matched and the input read per second, redrawn in place and wiped
// at the end, so that nothing of it stays on the screen or in a log.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

class TProgress {
public:
    // Seconds from any fixed point; the steady clock unless a test says so.
    using TClock = std::function<double()>;

    // A disabled display never writes anything.
    TProgress(std::ostream& err, bool enabled, TClock clock = {});
    ~TProgress();
    TProgress(const TProgress&) = delete;
    TProgress& operator=(const TProgress&) = delete;

    // Before the first file: how many files the batch matched.
    void start(std::uint64_t total);
    // After each file (also one skipped): its size in bytes. Draws the line
    // once the batch has run for `firstDrawAfter` seconds, and then again
    // every `redrawEvery` seconds.
    void fileDone(std::uint64_t bytes);
    // Wipes the line, if shown, before other output reaches the terminal;
    // the next redraw brings it back.
    void hide();
    // Wipes the line for good.
    void finish();

    // The line as drawn for the given state, without the control characters.
    static std::string describe(std::uint64_t done, std::uint64_t total, double bytesPerSecond);

    std::uint64_t draws() const noexcept { return draws_; }

    static constexpr double firstDrawAfter = 1.0;
    static constexpr double redrawEvery = 0.25;

private:
    void draw(double now);

    std::ostream& err_;
    bool enabled_;
    TClock clock_;
    double started_ = 0;
    double lastDraw_ = 0;
    std::uint64_t total_ = 0;
    std::uint64_t done_ = 0;
    std::uint64_t bytes_ = 0;
    std::uint64_t draws_ = 0;
    bool shown_ = false;
    bool finished_ = false;
};
