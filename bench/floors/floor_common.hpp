// What both floor programs of bench_peers.py share: the parent's protocol.
// A server prints {"pid": N} and runs until its standard input closes; a
// client warms up, prints "ready", waits for one line, calls for the given
// seconds from every thread and prints one JSON line of results.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace floor_bench {

constexpr int kWarmup = 100;

// Announces the server and exits the process once the parent closes stdin.
inline void serve_until_stdin_closes() {
    std::printf("{\"pid\": %d}\n", static_cast<int>(getpid()));
    std::fflush(stdout);
    std::thread([] {
        char buffer[256];
        while (read(0, buffer, sizeof buffer) > 0) {
        }
        _exit(0);
    }).detach();
}

inline double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs `threads` threads; each gets a call function from `connect` (false
// return: a wrong answer) and calls it back to back. Returns the exit status.
inline int run_client(int threads, double seconds, const std::string& version,
                      const std::function<std::function<bool()>()>& connect) {
    std::atomic<int> warm{0}, failed{0};
    std::atomic<bool> go{false};
    std::atomic<long long> total{0};
    std::chrono::steady_clock::time_point end;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            auto call = connect();
            for (int i = 0; i < kWarmup; ++i) {
                if (!call()) failed = 1;
            }
            ++warm;
            while (!go) std::this_thread::yield();
            long long n = 0;
            while (std::chrono::steady_clock::now() < end) {
                if (!call()) failed = 1;
                ++n;
            }
            total += n;
        });
    }
    while (warm < threads) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (failed) {
        std::fprintf(stderr, "floor client: a warm-up call failed\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    std::getline(std::cin, line);
    double cpu0 = cpu_seconds();
    auto began = std::chrono::steady_clock::now();
    end = began + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double>(seconds));
    go = true;
    for (auto& t : pool) t.join();
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    if (failed) {
        std::fprintf(stderr, "floor client: a call failed\n");
        return 1;
    }
    std::printf("{\"calls\": %lld, \"elapsed\": %.6f, \"cpu\": %.6f, \"version\": \"%s\", "
                "\"python\": \"-\"}\n",
                total.load(), elapsed, cpu_seconds() - cpu0, version.c_str());
    std::fflush(stdout);
    return 0;
}

}  // namespace floor_bench
