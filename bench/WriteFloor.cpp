// The one-write-per-message floor: the CPU that a server spends when it
// hands each frame to the kernel with a write of its own. One thread writes
// frame-sized buffers round-robin to N loopback TCP sockets while another
// drains the far ends; only the writing thread's CPU is counted.
//
// Usage: write_floor [--sockets 155] [--size 2304] [--writes 300000]
// Prints a line for people and one "floor_us_per_write=X" line for scripts.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "write_floor: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

double ThreadCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long Flag(int argc, char** argv, const char* name, long fallback)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            char* end = nullptr;
            const long value = std::strtol(argv[i + 1], &end, 10);
            if (*end != '\0' || value <= 0) {
                std::fprintf(stderr, "write_floor: %s needs a positive whole number\n", name);
                std::exit(2);
            }
            return value;
        }
    }
    return fallback;
}

} // namespace

int main(int argc, char** argv)
{
    const auto sockets = static_cast<std::size_t>(Flag(argc, argv, "--sockets", 155));
    const auto size = static_cast<std::size_t>(Flag(argc, argv, "--size", 2304));
    const long writes = Flag(argc, argv, "--writes", 300000);

    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, static_cast<int>(sockets)) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        Fail("listen on loopback");
    }
    std::vector<int> readers;
    std::vector<int> writers;
    for (std::size_t i = 0; i < sockets; ++i) {
        const int client = socket(AF_INET, SOCK_STREAM, 0);
        if (client < 0 || connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            Fail("connect");
        }
        const int server = accept(listener, nullptr, nullptr);
        if (server < 0) {
            Fail("accept");
        }
        const int one = 1;
        setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        readers.push_back(client);
        writers.push_back(server);
    }

    std::atomic<bool> done{false};
    std::thread drain([&] {
        std::vector<pollfd> fds;
        for (const int fd : readers) {
            fds.push_back({fd, POLLIN, 0});
        }
        std::vector<char> buf(256 * 1024);
        while (!done.load()) {
            if (poll(fds.data(), fds.size(), 100) <= 0) {
                continue;
            }
            for (const pollfd& p : fds) {
                if (p.revents & POLLIN) {
                    if (read(p.fd, buf.data(), buf.size()) <= 0) {
                        return;
                    }
                }
            }
        }
    });

    const std::string frame(size, 'f');
    const double start = ThreadCpuSeconds();
    for (long i = 0; i < writes; ++i) {
        const int fd = writers[static_cast<std::size_t>(i) % sockets];
        std::size_t sent = 0;
        while (sent < size) {
            const ssize_t n = write(fd, frame.data() + sent, size - sent);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                Fail("write");
            }
            sent += static_cast<std::size_t>(n);
        }
    }
    const double cpu = ThreadCpuSeconds() - start;
    done.store(true);
    for (const int fd : writers) {
        close(fd);
    }
    drain.join();

    const double perWrite = cpu * 1e6 / static_cast<double>(writes);
    std::printf("%ld writes of %zu bytes to %zu loopback sockets: %.2f s CPU in the writing thread, %.2f us per write\n",
                writes, size, sockets, cpu, perWrite);
    std::printf("floor_us_per_write=%.3f\n", perWrite);
    return 0;
}
