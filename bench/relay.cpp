// A delaying relay: a link with a fixed one-way delay between two programs on
// this machine. It listens on 127.0.0.1, and for every connection it accepts
// it connects to the real host and forwards each chunk it reads, in both
// directions, after the delay. Each chunk read is written as one write
// (TCP_NODELAY), so chunks are not merged by the relay; an end of stream is
// passed on after the same delay.
//
//   vantrel_relay --to HOST:PORT [--listen PORT] [--delay-ms MS] [--once]
//
// --listen 0 (the default) takes a free port; the relay prints "port P" once
// it listens. --delay-ms is one way (default 25, so 50 ms round trip).
// --once ends the relay after its first connection has ended.
#include "NetUtil.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One direction of one connection: a reader that stamps each chunk with the
// time it is due, and a writer that sends it then.
class Pipe {
public:
    Pipe(int from, int to, Clock::duration delay) : m_from(from), m_to(to), m_delay(delay) {}

    void run() {
        std::thread writer([this] { writeLoop(); });
        readLoop();
        writer.join();
    }

private:
    struct Chunk {
        Clock::time_point due;
        std::vector<char> bytes; // empty: the end of the stream
    };

    void readLoop() {
        std::vector<char> buf(65536);
        for (;;) {
            const ssize_t n = read(m_from, buf.data(), buf.size());
            if (n < 0 && errno == EINTR)
                continue;
            Chunk c{Clock::now() + m_delay, {}};
            if (n > 0)
                c.bytes.assign(buf.begin(), buf.begin() + n);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_queue.push_back(std::move(c));
            }
            m_ready.notify_one();
            if (n <= 0)
                return;
        }
    }

    void writeLoop() {
        for (;;) {
            Chunk c;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_ready.wait(lock, [this] { return !m_queue.empty(); });
                c = std::move(m_queue.front());
                m_queue.pop_front();
            }
            std::this_thread::sleep_until(c.due);
            if (c.bytes.empty() || !writeAll(m_to, c.bytes.data(), c.bytes.size())) {
                // Tell the far end, and stop the reader of this direction if
                // it is still waiting.
                shutdown(m_to, SHUT_WR);
                shutdown(m_from, SHUT_RD);
                return;
            }
        }
    }

    int m_from;
    int m_to;
    Clock::duration m_delay;
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<Chunk> m_queue;
};

void relayConnection(int client, std::string host, int port, Clock::duration delay) {
    const int server = connectTo(host, port);
    if (server < 0) {
        std::fprintf(stderr, "vantrel_relay: cannot connect to %s:%d\n", host.c_str(), port);
        close(client);
        return;
    }
    Pipe up(client, server, delay);
    Pipe down(server, client, delay);
    std::thread t([&] { up.run(); });
    down.run();
    t.join();
    close(client);
    close(server);
}

int usage() {
    std::fprintf(stderr, "usage: vantrel_relay --to HOST:PORT [--listen PORT] [--delay-ms MS] "
                         "[--once]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string host;
    int port = 0;
    int listenPort = 0;
    double delayMs = 25;
    bool once = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--to" && i + 1 < argc) {
            const std::string to = argv[++i];
            const size_t colon = to.rfind(':');
            if (colon == std::string::npos)
                return usage();
            host = to.substr(0, colon);
            port = std::atoi(to.c_str() + colon + 1);
        } else if (a == "--listen" && i + 1 < argc) {
            listenPort = std::atoi(argv[++i]);
        } else if (a == "--delay-ms" && i + 1 < argc) {
            delayMs = std::atof(argv[++i]);
        } else if (a == "--once") {
            once = true;
        } else {
            return usage();
        }
    }
    if (host.empty() || port <= 0 || port > 65535 || delayMs < 0)
        return usage();
    const int listener = listenOn(listenPort);
    if (listener < 0) {
        std::fprintf(stderr, "vantrel_relay: cannot listen on port %d\n", listenPort);
        return 1;
    }
    std::printf("port %d\n", boundPort(listener));
    std::fflush(stdout);
    const auto delay = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(delayMs));
    for (;;) {
        const int client = acceptOne(listener);
        if (client < 0)
            return 1;
        if (once) {
            relayConnection(client, host, port, delay);
            return 0;
        }
        std::thread(relayConnection, client, host, port, delay).detach();
    }
}
