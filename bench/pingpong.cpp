// A bare stop-and-wait ping-pong between two processes: a 1004-byte message
// ("FB:" + 1000 bytes + "|") goes one way, a 3-byte answer ("OK:") comes back,
// and only then does the next message leave. TCP_NODELAY on both ends. It is
// the limit of any one-block-in-flight transfer over the same path.
//
//   bench_pingpong [--blocks N]                 both ends, the answerer forked
//   bench_pingpong serve [--port P]             the answering end; prints
//                                               "port P" once it listens
//   bench_pingpong client --port P [--blocks N] the asking end
//
// The client prints "ping-pong <N> blocks <seconds> s <MB/s> MB/s", the rate
// counting the 1000 payload bytes of each message.
#include "NetUtil.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int MessageSize = 1004;
constexpr int AnswerSize = 3;

// Answers "OK:" to every complete 1004-byte message until the peer closes.
int serve(int listener) {
    const int fd = acceptOne(listener);
    if (fd < 0)
        return 1;
    char buf[65536];
    long pending = 0;
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        pending += n;
        while (pending >= MessageSize) {
            pending -= MessageSize;
            if (!writeAll(fd, "OK:", AnswerSize))
                return 1;
        }
    }
    close(fd);
    return 0;
}

int client(int port, long blocks) {
    const int fd = connectTo("127.0.0.1", port);
    if (fd < 0) {
        std::fprintf(stderr, "bench_pingpong: cannot connect to port %d\n", port);
        return 1;
    }
    std::string message = "FB:" + std::string(1000, 'x') + "|";
    char answer[256];
    const double start = monotonicSeconds();
    for (long i = 0; i < blocks; ++i) {
        if (!writeAll(fd, message.data(), message.size()))
            return 1;
        int got = 0;
        while (got < AnswerSize) {
            const ssize_t n = read(fd, answer, sizeof answer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                std::fprintf(stderr, "bench_pingpong: the answering end went away\n");
                return 1;
            }
            got += int(n);
        }
    }
    const double secs = monotonicSeconds() - start;
    close(fd);
    std::printf("ping-pong %ld blocks %.3f s %.4f MB/s\n", blocks, secs,
                blocks * 1000.0 / 1e6 / secs);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string mode;
    int port = 0;
    long blocks = 10000;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "serve" || a == "client")
            mode = a;
        else if (a == "--port" && i + 1 < argc)
            port = std::atoi(argv[++i]);
        else if (a == "--blocks" && i + 1 < argc)
            blocks = std::atol(argv[++i]);
        else {
            std::fprintf(stderr, "usage: bench_pingpong [serve [--port P] | client --port P] "
                                 "[--blocks N]\n");
            return 2;
        }
    }
    if (mode == "client")
        return client(port, blocks);

    const int listener = listenOn(port);
    if (listener < 0) {
        std::fprintf(stderr, "bench_pingpong: cannot listen on port %d\n", port);
        return 1;
    }
    if (mode == "serve") {
        std::printf("port %d\n", boundPort(listener));
        std::fflush(stdout);
        return serve(listener);
    }
    // Both ends: the answerer is a child process of its own.
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0)
        _exit(serve(listener));
    const int listenPort = boundPort(listener);
    close(listener);
    const int rc = client(listenPort, blocks);
    int status = 0;
    waitpid(child, &status, 0);
    return rc;
}
