// The legacy arrival path: a byte stream from the peer, cut into arrivals at
// places the input chooses, goes through the connection's reassembly and on
// into the session's dispatch (chat, file announcement, blocks into the
// receive folder, acknowledgements, the end). A reassembler of its own runs beside
// it and is checked against the stream: every message it gives is the next
// piece of what arrived, and it never holds more than one block message.

#include "FuzzCheck.h"
#include "engine/SDK.h"
#include "platform/Services.h"
#include "platform/Socket.h"
#include "protocol/Reassembler.h"
#include "protocol/Session.h"
#include "protocol/SessionView.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <memory>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

class QuietServices : public Services {
public:
    void message(const QString&) override {}
    bool question(const QString&, const QString&) override { return false; }
    QString timeOfDay() override { return QStringLiteral("12:00:00"); }
    void processEvents(int) override {}
    void endProgram() override {}
};

class QuietView : public SessionView {
public:
    void UpdateList(const QString&) override {}
    void UpdateChatList(const QString&) override {}
    QString ownAddressText() const override { return QStringLiteral("127.0.0.2"); }
    void setOwnAddressText(const QString&) override {}
    QString peerAddressText() const override { return QStringLiteral("10.9.8.7"); }
    void setPeerAddressText(const QString&) override {}
    void setSendButtonsEnabled(bool) override {}
    void setProgressValue(int) override {}
    void setProgressVisible(bool) override {}
    void bumpReceiveBar() override {}
    void bumpSendBar() override {}
};

struct World {
    int argc = 1;
    char arg0[8] = "fuzz";
    char* argv[2] = {arg0, nullptr};
    QCoreApplication app{argc, argv};
    QTemporaryDir dir;
    QuietServices services;
    QuietView view;
    Socket sock; // never connected: what the session sends goes nowhere
    QString recv() const { return dir.filePath("Recv"); }
};

World& world() {
    static World* w = new World;
    return *w;
}

// Drives a reassembler as the session does and checks what it gives against
// the stream pushed into it.
class CheckedReassembler {
public:
    CheckedReassembler() { m_r.holdFinalBlocks(true); }
    void push(const QByteArray& arrival) {
        m_stream += arrival;
        m_r.push(arrival);
    }
    void drain(bool release) {
        if (release)
            m_r.releaseHeld();
        QByteArray message;
        for (;;) {
            const qsizetype before = m_r.buffered();
            const Reassembler::Result r = m_r.next(m_reception, message);
            if (r == Reassembler::Result::Overflow) {
                m_r.clear();
                m_taken = m_stream.size();
                m_reception = Reassembler::Reception::Idle;
                return;
            }
            if (r != Reassembler::Result::Message) {
                // Waiting for more: never more than one block message held.
                FUZZ_CHECK(m_r.buffered() <= wire::kMaxFinalMessageSize);
                FUZZ_CHECK(m_r.buffered() == before);
                return;
            }
            // The message is the next piece of the stream, and at most its
            // terminator is dropped behind it.
            FUZZ_CHECK(!message.isEmpty());
            FUZZ_CHECK(QByteArrayView(m_stream).sliced(m_taken).startsWith(message));
            m_taken += message.size();
            const qsizetype skipped = m_stream.size() - m_taken - m_r.buffered();
            FUZZ_CHECK(skipped == 0 || (skipped == 1 && m_stream[m_taken] == wire::kTerminator));
            m_taken += skipped;
            const wire::Kind kind = wire::kindOf(message);
            if (m_reception == Reassembler::Reception::Running) {
                if (kind == wire::Kind::Block)
                    FUZZ_CHECK(message.size() == wire::kBlockMessageSize - 1);
                if (kind == wire::Kind::FinalBlock)
                    FUZZ_CHECK(message.size() < wire::kMaxFinalMessageSize);
            }
            if (kind == wire::Kind::FileName)
                m_reception = Reassembler::Reception::Running;
            else if (kind == wire::Kind::FinalBlock || kind == wire::Kind::End)
                m_reception = Reassembler::Reception::Idle;
        }
    }

private:
    Reassembler m_r;
    Reassembler::Reception m_reception = Reassembler::Reception::Idle;
    QByteArray m_stream;   // everything pushed
    qsizetype m_taken = 0; // of it, given out as messages or dropped
};

// A session with keys, nothing buffered and no reception: the one the
// previous input left when it is still like that (making keys is most of
// the work of an input), else a new one.
Session& readySession(World& w) {
    static std::unique_ptr<Session> session;
    const bool keys = QFile::exists(w.dir.filePath("k1.bcr"));
    if (session && keys && session->channel().pendingBytes() == 0 &&
        !session->receiver().ClientRecv())
        return *session;
    session.reset();
    session = std::make_unique<Session>(w.dir.path() + "/", w.recv(), w.sock, w.services, w.view);
    // The keys both sides would make from their two addresses.
    std::string seed = "127121987";
    FUZZ_CHECK(session->engine().CreateKeys(seed));
    return *session;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& w = world();
    FuzzedDataProvider in(data, size);
    QDir(w.recv()).removeRecursively();
    QDir().mkpath(w.recv());
    Session& session = readySession(w);
    CheckedReassembler checked;
    while (in.remaining_bytes() > 0) {
        const auto cut = in.ConsumeIntegralInRange<uint16_t>(0, 2 * wire::kBlockMessageSize);
        const bool release = in.ConsumeBool();
        const std::string piece = in.ConsumeBytesAsString(cut);
        const QByteArray arrival = QByteArray::fromStdString(piece);
        checked.push(arrival);
        checked.drain(release);
        session.channel().receive(arrival);
        FUZZ_CHECK(session.channel().pendingBytes() <= wire::kMaxFinalMessageSize);
    }
    QCoreApplication::sendPostedEvents();
    return 0;
}
