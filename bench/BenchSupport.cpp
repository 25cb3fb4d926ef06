#include "BenchSupport.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>

#include "KestrixSPI.h"
#include "ResultTable.h"

namespace kestrix::bench {

void Fail(const std::string& what) {
    std::fprintf(stderr, "kestrix_bench: %s\n", what.c_str());
    std::exit(1);
}

void Check(int32_t rc, const char* what) {
    if (rc == RC_OK) return;
    char text[128];
    SPIErrorMessage(rc, text, sizeof(text));
    Fail(std::string(what) + " failed: " + text);
}

void Rounds(int rounds, const std::function<void()>& library, const std::function<void()>& baseline) {
    for (int r = 0; r < rounds; ++r) {
        if (r % 2 == 0) {
            library();
            baseline();
        } else {
            baseline();
            library();
        }
    }
}

double Paired::Ratio() const {
    std::vector<double> ratios;
    for (size_t i = 0; i < library.size() && i < baseline.size(); ++i) ratios.push_back(library[i] / baseline[i]);
    return Median(ratios);
}

std::string RandomLoopbackAddress() {
    static std::random_device random;
    const unsigned r = random();
    return "127." + std::to_string(1 + r % 250) + "." + std::to_string((r >> 8) % 256) + "." +
           std::to_string(1 + (r >> 16) % 250);
}

Gateway StartChildGateway(const std::function<bool(const std::string& address)>& listen,
                          const std::function<void()>& serve) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        const std::string address = RandomLoopbackAddress();
        int ready[2];
        if (pipe(ready) != 0) Fail("pipe");
        const pid_t pid = fork();
        if (pid < 0) Fail("fork");
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            close(ready[0]);
            const char ok = listen(address) ? 1 : 0;
            if (write(ready[1], &ok, 1) != 1 || !ok) _exit(1);
            close(ready[1]);
            serve();
            _exit(0);
        }
        close(ready[1]);
        char ok = 0;
        const bool listening = read(ready[0], &ok, 1) == 1 && ok == 1;
        close(ready[0]);
        if (listening) return Gateway{address, pid};
        waitpid(pid, nullptr, 0);
    }
    Fail("no free loopback address for the gateway");
}

void StopGateway(const Gateway& gateway) {
    kill(gateway.pid, SIGTERM);
    waitpid(gateway.pid, nullptr, 0);
}

}  // namespace kestrix::bench
