#include "api/HandleRegistry.h"

#include <new>
#include <vector>

#include "KestrixSPI.h"
#include "transport/Platform.h"

namespace kestrix {

std::shared_ptr<DeviceEntry> HandleRegistry::Lookup(int32_t handle) {
    std::lock_guard<std::mutex> lock(m_registryLock);
    auto it = m_entries.find(handle);
    return it == m_entries.end() ? nullptr : it->second;
}

void HandleRegistry::Insert(int32_t handle, std::shared_ptr<DeviceEntry> entry) {
    std::lock_guard<std::mutex> lock(m_registryLock);
    m_entries[handle] = std::move(entry);
}

int32_t HandleRegistry::Remove(int32_t handle) {
    std::shared_ptr<DeviceEntry> removed;
    {
        std::lock_guard<std::mutex> lock(m_registryLock);
        auto it = m_entries.find(handle);
        if (it == m_entries.end()) return RC_BAD_HANDLE;
        removed = std::move(it->second);
        m_entries.erase(it);
    }
    removed.reset();
    return RC_OK;
}

void HandleRegistry::Clear() {
    std::map<int32_t, std::shared_ptr<DeviceEntry>> removed;
    {
        std::lock_guard<std::mutex> lock(m_registryLock);
        removed.swap(m_entries);
    }
    for (auto& [handle, entry] : removed) entry.reset();
}

int32_t HandleRegistry::NextHandle() {
    std::lock_guard<std::mutex> lock(m_counterLock);
    return ++m_handleCounter;
}

HandleRegistry& Registry() {
    // Never destroyed, since calls may still arrive while the process exits;
    // built in static storage, so that unloading the library leaves no
    // allocation behind once the unload has emptied it.
    alignas(HandleRegistry) static unsigned char storage[sizeof(HandleRegistry)];
    static HandleRegistry* registry = new (storage) HandleRegistry;
    return *registry;
}

namespace api {

void OnLibraryLoad() { Registry(); }

void OnLibraryUnload() { Registry().Clear(); }

}  // namespace api
}  // namespace kestrix
