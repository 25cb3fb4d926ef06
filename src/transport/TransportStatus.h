#pragma once

#include <cstdint>

namespace kestrix {

// What a transport operation reports; the client maps it to a result code.
enum TransportStatus : int32_t {
    TS_OK = 1,
    TS_SOCKET_ERROR = 2,
    TS_NOT_CONNECTED = 3,
    TS_TIMEOUT = 4,
    TS_NOT_ALLOWED = 5,
    TS_STACK_NOT_INITIALIZED = 6,
    TS_MAX_CONNECTIONS = 7,
};

enum ConnectionState : int32_t {
    Disconnected = 1,
    Connecting = 2,
    Connected = 3,
    Closing = 4,
    NoNetworkStack = 6,
};

}  // namespace kestrix
