#include "Progress.h"

#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#define KESTRIX_ISATTY _isatty
#define KESTRIX_FILENO _fileno
#else
#include <unistd.h>
#define KESTRIX_ISATTY isatty
#define KESTRIX_FILENO fileno
#endif

namespace kestrix::cli {

namespace {

bool g_disabled = false;
constexpr int kBarWidth = 28;

std::string FormatDuration(double seconds) {
    const auto total = static_cast<long>(seconds + 0.5);
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    } else {
        std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    }
    return text;
}

}  // namespace

std::string FormatSize(double bytes) {
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 3) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
    return text;
}

bool Progress::Enabled() {
    return !g_disabled && KESTRIX_ISATTY(KESTRIX_FILENO(stderr)) != 0;
}

void Progress::Disable() {
    g_disabled = true;
}

Progress::Progress(std::string label, uint64_t total)
    : m_label(std::move(label)), m_total(total), m_start(std::chrono::steady_clock::now()) {
    m_lastDraw = m_start;
    if (Enabled()) Draw(false);
}

Progress::~Progress() {
    Finish();
}

void Progress::Advance(uint64_t bytes) {
    m_done += bytes;
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastDraw >= std::chrono::milliseconds(100)) {
        m_lastDraw = now;
        if (Enabled()) Draw(false);
    }
}

void Progress::Finish() {
    if (m_finished) return;
    m_finished = true;
    if (Enabled()) Draw(true);
}

void Progress::Draw(bool final) {
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    if (m_total == 0) {
        // Work whose amount is unknown: only the time passing.
        std::fprintf(stderr, "\r%-8s %s %s\033[K%s", m_label.c_str(), FormatDuration(elapsed).c_str(),
                     final ? "total" : "elapsed", final ? "\n" : "");
        std::fflush(stderr);
        return;
    }
    const double fraction = m_total == 0 ? 1.0 : static_cast<double>(m_done) / static_cast<double>(m_total);
    const int filled = static_cast<int>(fraction * kBarWidth);
    const double rate = elapsed > 0 ? static_cast<double>(m_done) / elapsed : 0;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kBarWidth, '.');
    std::string timing;
    if (final) {
        timing = FormatDuration(elapsed) + " total";
    } else if (rate > 0) {
        timing =
            FormatDuration(static_cast<double>(m_total > m_done ? m_total - m_done : 0) / rate) + " left";
    } else {
        timing = "--:-- left";
    }
    std::fprintf(stderr, "\r%-8s [%s] %3d%%  %s / %s  %s/s  %s\033[K%s", m_label.c_str(), bar.c_str(),
                 static_cast<int>(fraction * 100), FormatSize(static_cast<double>(m_done)).c_str(),
                 FormatSize(static_cast<double>(m_total)).c_str(), FormatSize(rate).c_str(), timing.c_str(),
                 final ? "\n" : "");
    std::fflush(stderr);
}

}  // namespace kestrix::cli
