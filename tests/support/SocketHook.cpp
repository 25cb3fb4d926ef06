// Linked in with -Wl,--wrap=socket: every socket the process creates, the
// library's included, passes here.

#if !defined(_WIN32)
#include <sys/socket.h>

#include "TestGateway.h"

extern "C" int __real_socket(int domain, int type, int protocol);

extern "C" int __wrap_socket(int domain, int type, int protocol) {
    const int fd = __real_socket(domain, type, protocol);
    const int bytes = kestrix::test::g_newSocketBuffers.load();
    if (fd >= 0 && bytes > 0) {
        kestrix::test::SetSocketBuffers(fd, bytes);
        kestrix::test::g_newSocketBuffersApplied = true;
    }
    return fd;
}
#endif
