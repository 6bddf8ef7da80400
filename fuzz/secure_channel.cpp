// The secure channel's handshake and frame reader, in both roles. Two real
// channels, a host and a client, talk through a relay that the input drives:
// it hands on any number of the bytes waiting in either direction, lets
// either side send a message or time pass, and may flip, drop or add bytes.
// Randomness is made deterministic (libsodium's randombytes is replaced by a
// counter-based generator, restarted for every input), so an input always
// gives the same keys and frames and the relay's bytes can be valid frames.
//
// Besides the sanitizers, two things are checked: a relay that changed
// nothing and let no time pass never gets a connection closed, and whatever
// a side takes out of frames is, in order, what the other side sent.

#include "FuzzCheck.h"
#include "protocol/SecureChannel.h"
#include "protocol/Wire.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <sodium.h>

#include <QByteArray>
#include <QList>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// VANTREL_FUZZ_TRACE=1 shows what the relay does, for reading a finding.
bool trace() {
    static const bool on = std::getenv("VANTREL_FUZZ_TRACE") != nullptr;
    return on;
}

// ------------------------------------------------- deterministic randomness

uint64_t g_rngState = 0;

uint64_t nextRandom() { // splitmix64
    uint64_t z = (g_rngState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

const char* rngName() {
    return "fuzz-counter";
}
uint32_t rngRandom() {
    return uint32_t(nextRandom());
}
void rngStir() {}
void rngBuf(void* const buf, const size_t size) {
    auto* out = static_cast<unsigned char*>(buf);
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<unsigned char>(nextRandom());
}
int rngClose() {
    return 0;
}

randombytes_implementation g_rng = {rngName, rngRandom, rngStir, nullptr, rngBuf, rngClose};

// ------------------------------------------------------------------- sides

using Clock = SecureChannel::Clock;

struct Side {
    SecureChannel channel;
    QByteArray inbox;           // bytes on their way to this side
    QList<QByteArray> sent;     // own messages that went out
    QList<QByteArray> received; // inner messages taken out of frames
    qsizetype matched = 0;      // of the peer's `sent`, how far `received` reached
    bool begun = false;         // host: H has gone

    Side(SecureChannel::Role role, bool enabled, int window) : channel(role, enabled, window) {}
};

struct Relay {
    Side host;
    Side client;
    Clock::time_point now{};
    bool tampered = false; // bytes were flipped, dropped or added
    bool timePassed = false;
    bool lost = false; // the connection has ended under the channels
    bool closed = false;

    Relay(bool hostOn, int hostWindow, bool clientOn, int clientWindow)
        : host(SecureChannel::Role::Host, hostOn, hostWindow),
          client(SecureChannel::Role::Client, clientOn, clientWindow) {}

    Side& peerOf(Side& s) { return &s == &host ? client : host; }

    // Does what a step asks of the owner, as the session does.
    void apply(Side& from, const SecureChannel::Step& step) {
        Side& to = peerOf(from);
        if (trace())
            for (const QString& line : step.status)
                std::fprintf(stderr, "%s: %s%s\n", &from == &host ? "host" : "client",
                             qPrintable(line), step.close ? " (closed)" : "");
        for (const QByteArray& w : step.writes)
            to.inbox += w;
        from.sent += step.sent;
        for (const QByteArray& legacy : step.legacy) {
            // The host answers the client's "IP:" with its offer.
            if (&from == &host && !host.begun && legacy.startsWith("IP:")) {
                host.begun = true;
                apply(host, host.channel.begin("127.0.0.2", now));
            }
        }
        for (const QByteArray& m : step.messages) {
            FUZZ_CHECK(m.size() <= SecureChannel::MaxInnerMessage);
            from.received << m;
            if (!tampered) {
                // The next of the peer's messages that can be it: frames keep
                // order and drop nothing that was sealed.
                const QList<QByteArray>& theirs = to.sent;
                while (from.matched < theirs.size() && theirs[from.matched] != m)
                    ++from.matched;
                FUZZ_CHECK(from.matched < theirs.size());
                ++from.matched;
            }
        }
        if (step.close) {
            FUZZ_CHECK(!step.status.isEmpty());
            FUZZ_CHECK(tampered || timePassed || lost);
            closed = true;
        }
    }

    void deliver(Side& to, size_t count) {
        const qsizetype n = qMin<qsizetype>(qsizetype(count), to.inbox.size());
        const QByteArray bytes = to.inbox.left(n);
        to.inbox.remove(0, n);
        apply(to, to.channel.receive(bytes, now));
    }
};

QByteArray messageFrom(FuzzedDataProvider& in) {
    static const wire::Kind kinds[] = {
        wire::Kind::Chat,    wire::Kind::FileName, wire::Kind::Block,    wire::Kind::FinalBlock,
        wire::Kind::Ack,     wire::Kind::End,      wire::Kind::FileSize, wire::Kind::Cancel,
        wire::Kind::Address, wire::Kind::Unknown};
    const wire::Kind kind = in.PickValueInArray(kinds);
    QByteArray payload;
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: // a whole block
        payload = QByteArray(wire::kBlockSize, char(in.ConsumeIntegral<uint8_t>()));
        break;
    case 1: // the largest a frame takes, or one byte more
        payload =
            QByteArray(SecureChannel::MaxInnerMessage - 6 + in.ConsumeIntegralInRange(0, 1), 'x');
        break;
    default:
        payload = QByteArray::fromStdString(in.ConsumeRandomLengthString(64));
        break;
    }
    // "XX:" ends a side's sending; the program never gives it a payload.
    return wire::message(kind, kind == wire::Kind::End ? QByteArray() : payload);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    randombytes_set_implementation(&g_rng);
    FUZZ_CHECK(SecureChannel::cryptoReady());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    g_rngState = 0;
    FuzzedDataProvider in(data, size);
    const uint8_t setup = in.ConsumeIntegral<uint8_t>();
    const int hostWindow = in.ConsumeIntegralInRange(0, SecureChannel::MaxWindow + 1);
    const int clientWindow = in.ConsumeIntegralInRange(0, SecureChannel::MaxWindow + 1);
    Relay relay((setup & 1) == 0, hostWindow, (setup & 2) == 0, clientWindow);
    Side& host = relay.host;
    Side& client = relay.client;

    client.channel.connected(relay.now);
    relay.apply(client, client.channel.send("IP:10.9.8.7"));

    for (int ops = 0; ops < 200 && in.remaining_bytes() > 0 && !relay.closed; ++ops) {
        Side& side = in.ConsumeBool() ? host : client;
        const int op = in.ConsumeIntegralInRange(0, 7);
        if (trace())
            std::fprintf(stderr, "op %d for the %s, %lld bytes waiting for it, mode %d\n", op,
                         &side == &host ? "host" : "client", (long long)side.inbox.size(),
                         int(side.channel.mode()));
        switch (op) {
        case 0:
        case 1: // bytes on their way arrive, as many as the input says
            relay.deliver(side, in.ConsumeIntegralInRange<size_t>(0, 70000));
            break;
        case 2: {
            const QByteArray m = messageFrom(in);
            if (trace())
                std::fprintf(stderr, "  sends %s (%lld bytes)\n", m.left(6).toHex().constData(),
                             (long long)m.size());
            relay.apply(side, side.channel.send(m));
            // The program closes its connection right after its "XX:": from
            // here on either side may see the end at any point.
            if (m.startsWith("XX:"))
                relay.lost = true;
        } break;
        case 3: { // a byte flipped on the way
            if (side.inbox.isEmpty())
                break;
            const qsizetype at = in.ConsumeIntegralInRange<qsizetype>(0, side.inbox.size() - 1);
            const uint8_t flip = in.ConsumeIntegralInRange<uint8_t>(1, 255);
            side.inbox[at] = char(uint8_t(side.inbox[at]) ^ flip);
            relay.tampered = true;
            break;
        }
        case 4: { // bytes added on the way
            const qsizetype at = in.ConsumeIntegralInRange<qsizetype>(0, side.inbox.size());
            side.inbox.insert(at, QByteArray::fromStdString(in.ConsumeRandomLengthString(128)));
            relay.tampered = true;
            break;
        }
        case 5: { // bytes lost on the way
            const qsizetype at = in.ConsumeIntegralInRange<qsizetype>(0, side.inbox.size());
            side.inbox.remove(at, in.ConsumeIntegralInRange<qsizetype>(1, 70000));
            relay.tampered = true;
            break;
        }
        case 6: // time passes
            relay.now += std::chrono::milliseconds(in.ConsumeIntegralInRange(0, 12000));
            relay.timePassed = true;
            for (Side* s : {&host, &client})
                if (!relay.closed && s->channel.deadline() && *s->channel.deadline() <= relay.now)
                    relay.apply(*s, s->channel.expire(relay.now));
            break;
        case 7:
            client.channel.setTransferRunning(in.ConsumeBool());
            break;
        }
    }
    if (!relay.closed) {
        // The connection ends: a frame cut short shows as damage.
        relay.lost = true;
        relay.apply(host, host.channel.connectionLost());
        relay.apply(client, client.channel.connectionLost());
    }
    return 0;
}
