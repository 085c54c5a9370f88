// Helpers for the volume library tests: memory-backed device lists, running
// code inside a protected block, and death tests in a forked child.
#pragma once

#include <QtTest>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "dfs_internal.h"

namespace dfstest {

// Runs f inside an outermost protected block; returns 0 or the raised code.
inline int32_t Try(const std::function<void()>& f)
{
    return Protected([&] { f(); }, [](ExceptionFrame&) {}, [] {});
}

struct DeathResult {
    int exitCode = -1;
    std::string err;
};

// Runs f in a forked child and reports how the child ended and what it
// wrote on standard error.
inline DeathResult RunInChild(const std::function<void()>& f)
{
    int pipes[2];
    if (pipe(pipes) != 0)
        return {};
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        close(pipes[0]);
        dup2(pipes[1], 2);
        f();
        _exit(0);
    }
    close(pipes[1]);
    DeathResult r;
    char buf[512];
    ssize_t n;
    while ((n = read(pipes[0], buf, sizeof buf)) > 0)
        r.err.append(buf, size_t(n));
    close(pipes[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// A device list of memory disks; the library is stopped while it is swapped.
struct MemDevices {
    MemDiskData disks[3];
    DfsDevice list[4];

    explicit MemDevices(int count = 1, size_t sectors = 4096)
    {
        ShutdownVolumeLibrary();
        std::memset(list, 0, sizeof list);
        for (int i = 0; i < count; ++i) {
            disks[i].image.assign(sectors * 512, 0);
            for (size_t s = 0; s < sectors; ++s)
                std::snprintf(reinterpret_cast<char*>(&disks[i].image[s * 512]), 32, "disk%d sector %zu", i, s);
            list[i].type = DEVICE_DISK;
            list[i].flags = DEVF_PRIVATE_MUTEX;
            list[i].driver = &g_memDriver;
            list[i].driverData = &disks[i];
        }
        SetDeviceList(list);
    }
    ~MemDevices()
    {
        ShutdownVolumeLibrary();
        SetDeviceList(nullptr);
    }
    // Starts the library (as the first open does) and keeps no slot.
    void Start()
    {
        QCOMPARE(Try([] { ReleaseFileSlot(ClaimFileSlot()); }), 0);
    }
};

} // namespace dfstest
