#pragma once

// Resolver results have the same shape on every platform; the platform files
// share this copy instead of each walking the list.

#include <cstring>
#include <vector>

#include "transport/Platform.h"

namespace kestrix::platform {

// Appends every entry of a getaddrinfo list that fits a SocketAddress.
template <typename AddressInfo>
void AppendAddresses(const AddressInfo* list, std::vector<SocketAddress>& out) {
    for (const AddressInfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addrlen > kAddressStorageSize) continue;
        SocketAddress address;
        address.family = entry->ai_family;
        address.socketType = entry->ai_socktype;
        address.protocol = entry->ai_protocol;
        address.length = static_cast<int>(entry->ai_addrlen);
        std::memcpy(address.bytes, entry->ai_addr, entry->ai_addrlen);
        out.push_back(address);
    }
}

}  // namespace kestrix::platform
