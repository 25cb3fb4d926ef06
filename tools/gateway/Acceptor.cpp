#include "Acceptor.h"

#include <random>

namespace kestrix::gateway {

namespace {
constexpr int kPollMs = 50;
}

platform::SocketHandle ListenOnFreePort(const char* address, uint16_t& port) {
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> pick(20000, 32767);
    for (int attempt = 0; attempt < 256; ++attempt) {
        const auto candidate = static_cast<uint16_t>(pick(random));
        const platform::SocketHandle listener = platform::Listen(address, candidate, 64);
        if (listener != platform::kInvalidSocket) {
            port = candidate;
            return listener;
        }
    }
    return platform::kInvalidSocket;
}

Acceptor::Acceptor(size_t maxOpen, MakeSession makeSession, Log log)
    : m_maxOpen(maxOpen), m_makeSession(std::move(makeSession)), m_log(std::move(log)) {}

Acceptor::~Acceptor() {
    Stop();
}

void Acceptor::Start(platform::SocketHandle listener) {
    m_listener = listener;
    m_stop = false;
    m_thread = std::thread(&Acceptor::AcceptLoop, this);
}

void Acceptor::Stop() {
    if (!m_thread.joinable()) return;
    m_stop = true;
    m_thread.join();
    std::vector<std::unique_ptr<Session>> sessions;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        sessions.swap(m_sessions);
    }
    sessions.clear();
    platform::CloseSocket(m_listener);
    m_listener = platform::kInvalidSocket;
}

void Acceptor::DisconnectClients() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& session : m_sessions) {
        if (session->Connected()) session->SendDisconnectRequest();
    }
}

void Acceptor::AcceptLoop() {
    while (!m_stop.load()) {
        if (platform::WaitReadable(m_listener, kPollMs) != platform::WaitResult::Ready) {
            ReapFinished();
            continue;
        }
        const platform::SocketHandle socket = platform::Accept(m_listener);
        if (socket == platform::kInvalidSocket) continue;
        ReapFinished();
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_sessions.size() >= m_maxOpen) {
            m_log("too many connections; closed a new one unheard");
            platform::SetAbortiveClose(socket);
            platform::CloseSocket(socket);
            continue;
        }
        m_sessions.push_back(m_makeSession(socket, ++m_clientNumber));
    }
}

void Acceptor::ReapFinished() {
    std::vector<std::unique_ptr<Session>> finished;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_sessions.begin(); it != m_sessions.end();) {
            if ((*it)->Finished()) {
                finished.push_back(std::move(*it));
                it = m_sessions.erase(it);
            } else {
                ++it;
            }
        }
    }
}

}  // namespace kestrix::gateway
