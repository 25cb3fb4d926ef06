#include "ProcessResources.h"

#if defined(__linux__)
#include <dirent.h>
#include <malloc.h>
#include <sys/resource.h>
#endif

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KESTRIX_TEST_SANITIZER_HEAP 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KESTRIX_TEST_SANITIZER_HEAP 1
#endif
#if defined(KESTRIX_TEST_SANITIZER_HEAP)
#include <sanitizer/allocator_interface.h>
#endif

namespace kestrix::test {

#if defined(__linux__)
namespace {
// Entries of a /proc directory, without "." and "..".
int CountEntries(const char* path) {
    DIR* dir = opendir(path);
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count;
}
}  // namespace

bool ReadProcessResources(ProcessResources& out) {
    // The directory stream itself holds one descriptor while counting.
    out.descriptors = CountEntries("/proc/self/fd") - 1;
    out.threads = CountEntries("/proc/self/task");
#if defined(KESTRIX_TEST_SANITIZER_HEAP)
    // The sanitizers replace malloc; only they know what is in use.
    out.heapBytes = __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    out.heapBytes = info.uordblks + info.hblkhd;
#endif
    return out.descriptors >= 0 && out.threads > 0;
}

bool ReadProcessUsage(ProcessUsage& out) {
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) return false;
    auto micros = [](const timeval& t) { return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_usec; };
    out.cpuMicroseconds = micros(usage.ru_utime) + micros(usage.ru_stime);
    out.contextSwitches = usage.ru_nvcsw + usage.ru_nivcsw;
    return true;
}
#else
bool ReadProcessResources(ProcessResources& out) {
    out = ProcessResources{};
    return false;
}

bool ReadProcessUsage(ProcessUsage& out) {
    out = ProcessUsage{};
    return false;
}
#endif

}  // namespace kestrix::test
