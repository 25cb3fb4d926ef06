#include "ProgressBoard.h"

#include <algorithm>
#include <cstdio>

#include "Progress.h"

namespace kestrix::cli {

ProgressBoard::ProgressBoard(std::vector<std::string> names)
    : m_enabled(Progress::Enabled()), m_names(std::move(names)), m_lines(m_names.size()) {
    for (const std::string& name : m_names) m_nameWidth = std::max(m_nameWidth, name.size());
}

ProgressBoard::~ProgressBoard() {
    std::lock_guard<std::mutex> lock(m_mutex);
    DrawLocked(true);
}

void ProgressBoard::Show(size_t line, const std::string& phase, uint64_t done, uint64_t total) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Line& l = m_lines[line];
    if (l.phase != phase) l.phaseStart = std::chrono::steady_clock::now();
    l.phase = phase;
    l.done = done;
    l.total = total;
    DrawLocked(false);
}

void ProgressBoard::Finish(size_t line, const std::string& result) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines[line].result = result;
    DrawLocked(true);
}

void ProgressBoard::DrawLocked(bool force) {
    if (!m_enabled) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - m_lastDraw < std::chrono::milliseconds(100)) return;
    m_lastDraw = now;
    // Back to the first line, then every line anew.
    if (m_drawn) std::fprintf(stderr, "\033[%zuA", m_lines.size());
    m_drawn = true;
    for (size_t i = 0; i < m_lines.size(); ++i) {
        const Line& l = m_lines[i];
        std::string state;
        if (!l.result.empty()) {
            state = l.result;
        } else if (l.phase.empty()) {
            state = "waiting";
        } else if (l.total == 0) {
            const double seconds = std::chrono::duration<double>(now - l.phaseStart).count();
            char text[64];
            std::snprintf(text, sizeof text, "%-7s %.0f s", l.phase.c_str(), seconds);
            state = text;
        } else {
            char text[96];
            std::snprintf(
                text, sizeof text, "%-7s %3d%%  %s / %s", l.phase.c_str(),
                static_cast<int>(100.0 * static_cast<double>(l.done) / static_cast<double>(l.total)),
                FormatSize(static_cast<double>(l.done)).c_str(),
                FormatSize(static_cast<double>(l.total)).c_str());
            state = text;
        }
        std::fprintf(stderr, "%-*s  %s\033[K\n", static_cast<int>(m_nameWidth), m_names[i].c_str(),
                     state.c_str());
    }
    std::fflush(stderr);
}

}  // namespace kestrix::cli
