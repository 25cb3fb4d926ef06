#pragma once

#include <deque>
#include <mutex>
#include <string>

namespace kestrix::gateway {

// Command lines from standard input, read on a thread of their own and
// taken by the main thread. A terminal is read only while the process is in
// its foreground, so a simulator started with "&" in an interactive shell is
// not stopped by the terminal for reading it; input that is not a terminal
// is read only when asked for.
class ConsoleInput {
public:
    // Reads when `forced` or when standard input is a terminal; else never.
    // The reader may be blocked on standard input at exit and owns nothing
    // that needs tearing down, so the object lives until the process ends.
    // Called once.
    static ConsoleInput& Start(bool forced);

    // Whether anything is read at all.
    bool Reading() const { return m_reading; }
    // The complete lines read since the last call; `ended` once standard
    // input is at its end.
    std::deque<std::string> Take(bool& ended);

private:
    ConsoleInput() = default;
    void Run(bool terminal);
    void Add(std::string line);
    void End();

    bool m_reading = false;
    std::mutex m_mutex;  // guards the two below: the reader adds, the main thread takes
    std::deque<std::string> m_lines;
    bool m_ended = false;
};

}  // namespace kestrix::gateway
