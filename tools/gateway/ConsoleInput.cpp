#include "ConsoleInput.h"

#include <chrono>
#include <thread>

#if defined(_WIN32)
#include <io.h>

#include <iostream>
#else
#include <unistd.h>

#include <cerrno>
#include <csignal>
#endif

namespace kestrix::gateway {

namespace {

constexpr auto kBackgroundPoll = std::chrono::milliseconds(200);

#if defined(_WIN32)
// Windows consoles have no background process groups to wait out.
bool StandardInputIsTerminal() {
    return _isatty(0) != 0;
}
#else
bool StandardInputIsTerminal() {
    return isatty(STDIN_FILENO) != 0;
}

bool InForeground() {
    return tcgetpgrp(STDIN_FILENO) == getpgrp();
}
#endif

}  // namespace

ConsoleInput& ConsoleInput::Start(bool forced) {
    // Held by a global so that leak checkers see it reachable at exit.
    static ConsoleInput* const console = new ConsoleInput;
    const bool terminal = StandardInputIsTerminal();
    console->m_reading = forced || terminal;
    if (console->m_reading) std::thread(&ConsoleInput::Run, console, terminal).detach();
    return *console;
}

std::deque<std::string> ConsoleInput::Take(bool& ended) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ended = m_ended;
    std::deque<std::string> lines;
    lines.swap(m_lines);
    return lines;
}

void ConsoleInput::Add(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(std::move(line));
}

void ConsoleInput::End() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ended = true;
}

#if defined(_WIN32)
void ConsoleInput::Run(bool) {
    for (std::string line; std::getline(std::cin, line);) Add(line);
    End();
}
#else
void ConsoleInput::Run(bool terminal) {
    // A read from the terminal in the background then fails with EIO
    // instead of stopping the whole process.
    std::signal(SIGTTIN, SIG_IGN);
    std::string pending;
    char buffer[4096];
    for (;;) {
        if (terminal && !InForeground()) {
            std::this_thread::sleep_for(kBackgroundPoll);
            continue;
        }
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EIO && terminal) {
            // Moved to the background while waiting.
            std::this_thread::sleep_for(kBackgroundPoll);
            continue;
        }
        if (n <= 0) break;
        pending.append(buffer, static_cast<size_t>(n));
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            Add(pending.substr(0, end));
            pending.erase(0, end + 1);
        }
    }
    if (!pending.empty()) Add(pending);
    End();
}
#endif

}  // namespace kestrix::gateway
