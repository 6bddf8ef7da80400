// A hostile host for measuring how the window holds up under a flood: it
// waits on 127.0.0.1, takes one connection from a vantrel client, sets up the
// secure connection as a copy of the program would (or stays legacy), starts
// a file towards the client, and then floods it:
//   fl    20,000 file announcements ("FL:"), while the file arrives
//   ok    20,000 "OK:"
//   chat  200 chat lines of 64 kB
// A moment into the flood it presses Return in the focused window (the
// client's chat box holds a line typed before); after the flood it sends one
// valid chat line. It prints the monotonic times (ns, as in VANTREL_TRACE) of
// the Return, the flood's end and the valid line, for comparison with the
// client's trace.
//
//   flood_peer --port P --kind fl|ok|chat [--legacy] [--host-text 127.0.0.1]
#include "NetUtil.h"

#include "engine/SDK.h"
#include "protocol/KeySeed.h"
#include "protocol/SecureChannel.h"

#include <QByteArray>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

using SC = SecureChannel;

// Reads what has arrived (waiting up to `ms` for the first byte).
QByteArray readSome(int fd, int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[65536];
    const ssize_t n = read(fd, buf, sizeof buf);
    return n > 0 ? QByteArray(buf, int(n)) : QByteArray();
}

bool writeSteps(int fd, const SC::Step& step) {
    for (const QByteArray& w : step.writes)
        if (!writeAll(fd, w.constData(), size_t(w.size())))
            return false;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int port = 0;
    std::string kind = "fl";
    bool legacy = false;
    std::string hostText = "127.0.0.1";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--port" && i + 1 < argc)
            port = std::atoi(argv[++i]);
        else if (a == "--kind" && i + 1 < argc)
            kind = argv[++i];
        else if (a == "--legacy")
            legacy = true;
        else if (a == "--host-text" && i + 1 < argc)
            hostText = argv[++i];
    }
    const int listener = listenOn(port);
    if (listener < 0) {
        std::fprintf(stderr, "cannot listen on %d\n", port);
        return 1;
    }
    const int fd = acceptOne(listener);
    QByteArray in;
    while (!in.startsWith("IP:") || in.size() < 5)
        in += readSome(fd, 1000);
    const std::string clientText = in.mid(3).toStdString();

    // The rotor keys both sides make from the two address texts.
    QTemporaryDir dir;
    SDK engine(dir.path().toStdString());
    std::string seed = MakeSeedText(hostText, clientText).value();
    engine.CreateKeys(seed);
    const auto encrypted = [&engine](const std::string& plain) {
        std::string t = plain;
        engine.EncryptMessage(t);
        return QByteArray::fromStdString(t);
    };

    SC channel(SC::Role::Host);
    if (!legacy) {
        writeSteps(fd, channel.begin(QByteArray::fromStdString(hostText), SC::Clock::now()));
        while (channel.mode() != SC::Mode::Secure || channel.holdingOwnMessages()) {
            const SC::Step step = channel.receive(readSome(fd, 1000), SC::Clock::now());
            writeSteps(fd, step);
            if (step.close)
                return 1;
        }
    }
    const auto send = [&](const QByteArray& message) {
        if (legacy)
            return writeAll(fd, message.constData(), size_t(message.size()));
        return writeSteps(fd, channel.send(message));
    };
    // What the client sends back is read and dropped, so it never stalls.
    std::atomic<bool> done{false};
    std::thread drain([&] {
        while (!done)
            readSome(fd, 200);
    });

    // A file on its way to the client: the announcement and a first block.
    if (!legacy)
        send("FS:100000");
    send("FL:arriving.bin");
    usleep(200 * 1000);
    send("FB:" + encrypted(std::string(1000, 'f')) + "|");
    usleep(200 * 1000);

    QByteArray flood;
    for (int i = 0; i < (kind == "chat" ? 200 : 20000); ++i) {
        QByteArray m = kind == "ok"     ? QByteArray("OK:")
                       : kind == "chat" ? "CT:" + QByteArray(64 * 1024 - 3, 'c')
                                        : QByteArray("FL:x");
        if (legacy) {
            flood += m;
        } else {
            const SC::Step step = channel.send(m);
            for (const QByteArray& w : step.writes)
                flood += w;
        }
    }
    std::atomic<long long> pressed{0};
    std::thread press([&] {
        usleep(100 * 1000);
        pressed = monotonicNanos();
        std::system("xdotool key Return");
    });
    const long long start = monotonicNanos();
    writeAll(fd, flood.constData(), size_t(flood.size()));
    const long long end = monotonicNanos();
    press.join();
    usleep(50 * 1000);
    const long long valid = monotonicNanos();
    send("CT:" + encrypted("after the flood"));
    std::printf("flood %s %s: %lld bytes\nstart %lld\nreturn %lld\nend %lld\nvalid %lld\n",
                kind.c_str(), legacy ? "legacy" : "secure", static_cast<long long>(flood.size()),
                start, pressed.load(), end, valid);
    std::fflush(stdout);
    sleep(4);
    done = true;
    drain.join();
    close(fd);
    return 0;
}
