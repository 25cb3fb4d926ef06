#include "telegram/CommandCodes.h"

namespace kestrix {

const char* CommandName(uint16_t code) {
    const bool confirmation = IsConfirmationCode(code);
    switch (code & 0xFF) {
        case cmd::kConnect: return confirmation ? "connect.cnf" : "connect.req";
        case cmd::kDisconnect: return confirmation ? "disconnect.cnf" : "disconnect.req";
        case cmd::kDataReq: return confirmation ? "data.cnf" : "data.req";
        case cmd::kSetGlobals: return confirmation ? "set-globals.cnf" : "set-globals.req";
        case cmd::kGetGlobals: return confirmation ? "get-globals.cnf" : "get-globals.req";
        case cmd::kDeviceInfo: return confirmation ? "device-info.cnf" : "device-info.req";
        case cmd::kDeviceStatus: return confirmation ? "device-status.cnf" : "device-status.req";
        case cmd::kAlive: return confirmation ? "alive.cnf" : "alive.req";
        case cmd::kSequence: return confirmation ? "sequence.cnf" : "sequence.req";
        case cmd::kReadDigital: return confirmation ? "read-digital.cnf" : "read-digital.req";
        case cmd::kWriteDigital: return confirmation ? "write-digital.cnf" : "write-digital.req";
        default: return "?";
    }
}

}  // namespace kestrix
