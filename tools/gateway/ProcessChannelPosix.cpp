#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "DeviceChannel.h"

namespace kestrix::gateway {

namespace {

constexpr int kExitGraceMs = 500;

std::string ErrorText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// Standard input and output of a child process. Writing to a child that
// exited must come back as an error, not end the simulator, so SIGPIPE is
// ignored once the first child starts.
class ProcessChannel : public DeviceChannel {
public:
    explicit ProcessChannel(std::string command) : m_command(std::move(command)) {}
    ~ProcessChannel() override { Stop(true); }

    bool Open(std::string& error) override {
        static std::once_flag ignorePipe;
        std::call_once(ignorePipe, [] { ::signal(SIGPIPE, SIG_IGN); });
        Stop(false);
        int toChild[2];
        int fromChild[2];
        if (::pipe2(toChild, O_CLOEXEC) != 0) {
            error = ErrorText("pipe");
            return false;
        }
        if (::pipe2(fromChild, O_CLOEXEC) != 0) {
            error = ErrorText("pipe");
            ::close(toChild[0]);
            ::close(toChild[1]);
            return false;
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            // Only async-signal-safe calls from here to exec.
            ::dup2(toChild[0], 0);
            ::dup2(fromChild[1], 1);
            // The child must not hold the simulator's sockets open.
            if (::syscall(SYS_close_range, 3u, ~0u, 0u) != 0) {
                for (int fd = 3; fd < 4096; ++fd) ::close(fd);
            }
            ::execl("/bin/sh", "sh", "-c", m_command.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        if (pid < 0) {
            error = ErrorText("fork");
            ::close(toChild[1]);
            ::close(fromChild[0]);
            return false;
        }
        m_pid = pid;
        m_in = toChild[1];
        m_out = fromChild[0];
        ::fcntl(m_in, F_SETFL, ::fcntl(m_in, F_GETFL) | O_NONBLOCK);
        ::fcntl(m_out, F_SETFL, ::fcntl(m_out, F_GETFL) | O_NONBLOCK);
        return true;
    }

    bool IsOpen() const override { return m_pid > 0; }

    void Close() override { Stop(false); }

    bool Write(const char* data, size_t size, int64_t timeoutMs, std::string& error) override {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        size_t done = 0;
        while (done < size) {
            const ssize_t written = ::write(m_in, data + done, size - done);
            if (written > 0) {
                done += static_cast<size_t>(written);
                continue;
            }
            if (written < 0 && errno == EINTR) continue;
            if (written < 0 && errno != EAGAIN) {
                error = errno == EPIPE ? "the device exited" : ErrorText("write to the device");
                return false;
            }
            if (!Wait(m_in, POLLOUT, deadline)) {
                error = "the device does not read its input";
                return false;
            }
        }
        return true;
    }

    int64_t Read(char* data, size_t size, int64_t timeoutMs) override {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const ssize_t got = ::read(m_out, data, size);
            if (got >= 0) return got;
            if (errno == EINTR) continue;
            if (errno != EAGAIN) return -1;
            if (!Wait(m_out, POLLIN, deadline)) return kTimedOut;
        }
    }

private:
    static bool Wait(int fd, short events, std::chrono::steady_clock::time_point deadline) {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left < 0) return false;
            pollfd entry{fd, events, 0};
            const int ready = ::poll(&entry, 1, static_cast<int>(left));
            if (ready > 0) return true;
            if (ready == 0 && left == 0) return false;
            if (ready < 0 && errno != EINTR) return false;
        }
    }

    // Closes the pipes and reaps the child: a polite one ends on the end of
    // its input; a hung one is killed.
    void Stop(bool polite) {
        if (m_in >= 0) ::close(m_in);
        if (m_out >= 0) ::close(m_out);
        m_in = m_out = -1;
        if (m_pid <= 0) return;
        int status = 0;
        if (polite) {
            for (int waited = 0; waited < kExitGraceMs; waited += 10) {
                if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                    m_pid = -1;
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        ::kill(m_pid, SIGKILL);
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
    }

    const std::string m_command;
    pid_t m_pid = -1;
    int m_in = -1;   // the child's standard input
    int m_out = -1;  // the child's standard output
};

}  // namespace

std::unique_ptr<DeviceChannel> MakeProcessChannel(const std::string& command) {
    return std::make_unique<ProcessChannel>(command);
}

}  // namespace kestrix::gateway
