#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace kestrix::cli {

// One progress line per gateway on standard error, redrawn in place, for
// runs on many gateways at once. Draws nothing unless progress is enabled
// (standard error a terminal, no --quiet or --json). Any thread.
class ProgressBoard {
public:
    explicit ProgressBoard(std::vector<std::string> names);
    ~ProgressBoard();
    ProgressBoard(const ProgressBoard&) = delete;
    ProgressBoard& operator=(const ProgressBoard&) = delete;

    void Show(size_t line, const std::string& phase, uint64_t done, uint64_t total);
    // The line's final state: "ok" or the failure.
    void Finish(size_t line, const std::string& result);

private:
    struct Line {
        std::string phase;
        uint64_t done = 0;
        uint64_t total = 0;
        std::string result;
        std::chrono::steady_clock::time_point phaseStart;
    };
    void DrawLocked(bool force);

    const bool m_enabled;
    size_t m_nameWidth = 0;
    std::mutex m_mutex;  // guards everything below; every gateway's thread draws
    std::vector<std::string> m_names;
    std::vector<Line> m_lines;
    bool m_drawn = false;
    std::chrono::steady_clock::time_point m_lastDraw;
};

}  // namespace kestrix::cli
