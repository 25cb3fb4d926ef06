// Unloading the library while handles are still open, with their receive
// threads, an alive thread and per-thread buffers in place, must end every
// thread the library started and close every socket it opened.

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "ProcessResources.h"
#include "TestGateway.h"
#include "telegram/Pack.h"

using namespace kestrix;
using namespace kestrix::test;

namespace {

using OpenFn = int32_t (*)(int32_t*, const char*, int32_t);
using DataFn = int32_t (*)(int32_t, const char*, uint16_t, char*, uint16_t);

int Fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    return 1;
}

Bytes Echo(const CKesMsg& request) {
    Bytes data(request.Data().size() + 1, 0);
    std::copy(request.Data().begin(), request.Data().end(), data.begin() + 1);
    return Confirmation(request, data);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return Fail("usage: kestrix_unload_test LIBRARY");
    // A sanitizer may start a helper thread of its own with the first thread
    // the program creates; let that happen before counting.
    std::thread([] {}).join();
    ProcessResources before;
    if (!ReadProcessResources(before)) return Fail("cannot count this process's resources");

    {
        TestGateway gateway;
        gateway.SetHandler([](Peer& peer, const CKesMsg& request) { peer.Send(Echo(request)); });
        void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) return Fail(dlerror());
        auto open = reinterpret_cast<OpenFn>(dlsym(library, "SPIOpenDevice"));
        auto data = reinterpret_cast<DataFn>(dlsym(library, "SPIDataReq"));
        if (open == nullptr || data == nullptr) return Fail("exports missing");

        std::vector<int32_t> handles(4, -1);
        for (int32_t& handle : handles) {
            if (open(&handle, gateway.Address().c_str(), 2000) != 0) return Fail("open failed");
        }
        // The last connection is asked for alive supervision, which starts
        // one more thread in the library.
        const auto interval = PackU32(5000);
        gateway.LatestPeer()->Send(Wire(0x030D, 77, Bytes(interval.begin(), interval.end())));
        if (!gateway.WaitFor(0x830D, 1, 2000)) return Fail("alive request not confirmed");
        // Calls from a thread that has ended before the unload.
        bool callsOk = true;
        std::thread caller([&] {
            for (int32_t handle : handles) {
                char in[2] = {};
                callsOk = callsOk && data(handle, "\x01\x02", 2, in, 2) == 0 && in[0] == 1 && in[1] == 2;
            }
        });
        caller.join();
        if (!callsOk) return Fail("calls failed");

        if (dlclose(library) != 0) return Fail(dlerror());
        if (dlopen(argv[1], RTLD_NOW | RTLD_NOLOAD) != nullptr) return Fail("the library stayed loaded");
    }

    // The gateway is gone too, so everything above the starting point
    // would be the library's.
    ProcessResources after;
    for (int attempt = 0; attempt < 200; ++attempt) {
        ReadProcessResources(after);
        if (after.descriptors <= before.descriptors && after.threads <= before.threads) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::fprintf(stderr, "descriptors %d -> %d, threads %d -> %d\n", before.descriptors, after.descriptors,
                 before.threads, after.threads);
    return 1;
}
