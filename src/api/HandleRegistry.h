#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "client/CKestrixClient.h"

namespace kestrix {

struct DeviceEntry {
    std::unique_ptr<CKestrixClientSPI> client;
};

// The process-wide table of open handles. Entries are shared with the calls
// that found them, so a handle closed while another thread is inside a call
// on it is torn down only when that call has returned; and no entry is ever
// destroyed with the registry lock held, so closing one handle never stalls
// calls on the others.
class HandleRegistry {
public:
    std::shared_ptr<DeviceEntry> Lookup(int32_t handle);
    void Insert(int32_t handle, std::shared_ptr<DeviceEntry> entry);
    // RC_BAD_HANDLE when absent; otherwise RC_OK once the entry is out.
    int32_t Remove(int32_t handle);
    // Removes every entry, destroying them in ascending handle order.
    void Clear();
    int32_t NextHandle();

private:
    std::mutex m_registryLock;
    std::map<int32_t, std::shared_ptr<DeviceEntry>> m_entries;
    std::mutex m_counterLock;
    int32_t m_handleCounter = 0;
};

HandleRegistry& Registry();

}  // namespace kestrix
