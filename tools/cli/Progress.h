#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kestrix::cli {

// A one-line progress bar on standard error: bytes done, rate and time
// left (a total of 0: only the time elapsed). Draws nothing unless standard
// error is a terminal, so pipes and log files stay clean.
class Progress {
public:
    Progress(std::string label, uint64_t total);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Advance(uint64_t bytes);
    // Draws the last state and moves to the next line.
    void Finish();

    static bool Enabled();
    // Turns drawing off even on a terminal (--quiet, --json).
    static void Disable();

private:
    void Draw(bool final);

    std::string m_label;
    uint64_t m_total;
    uint64_t m_done = 0;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_lastDraw;
    bool m_finished = false;
};

// "1.5 MiB", "512 B".
std::string FormatSize(double bytes);

}  // namespace kestrix::cli
