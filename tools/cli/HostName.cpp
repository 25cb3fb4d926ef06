#include "HostName.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

namespace kestrix::cli {

std::string HostOf(const std::string& address) {
    if (!address.empty() && address[0] == '[') {
        const size_t close = address.find(']');
        return close == std::string::npos ? address : address.substr(1, close - 1);
    }
    const size_t colon = address.find(':');
    if (colon != std::string::npos && address.find(':', colon + 1) == std::string::npos) {
        return address.substr(0, colon);
    }
    return address;
}

std::string ResolutionProblem(const std::string& address) {
#if defined(_WIN32)
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return "";
#endif
    const std::string host = HostOf(address);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int error = getaddrinfo(host.c_str(), nullptr, &hints, &list);
    std::string problem;
    if (error != 0) {
        problem = "cannot resolve " + host + ": " + gai_strerror(error);
    } else {
        freeaddrinfo(list);
    }
#if defined(_WIN32)
    WSACleanup();
#endif
    return problem;
}

}  // namespace kestrix::cli
