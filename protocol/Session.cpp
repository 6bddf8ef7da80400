#include "protocol/Session.h"

#include "engine/SDK.h"
#include "platform/Services.h"
#include "platform/Socket.h"
#include "platform/TextCodec.h"
#include "protocol/KeySeed.h"
#include "protocol/SessionView.h"
#include "protocol/Wire.h"

#include <QFile>
#include <QHostAddress>

namespace {

const QString kCannotConnect =
    QStringLiteral("Connection cannot be made.  Check your ip address and port settings and "
                   "try again.");
const QString kPeerEnded =
    QStringLiteral("Your connection was terminated manually by the person.  ");
const QString kProgramEnds = QStringLiteral("The program will now terminate.");
const QString kNoKeys = QStringLiteral("No keys can be made from these addresses: ");

// The connect wait: this many polls, each waiting up to kPollMs for socket
// events, so a real connection has a few seconds to complete.
constexpr int kConnectPolls = 2500;
constexpr int kPollMs = 2;

// "1 file", "3 files".
QString files(qsizetype n) {
    return n == 1 ? QStringLiteral("1 file") : QStringLiteral("%1 files").arg(n);
}

// Held chat lines go out this far apart once the file has gone.
constexpr int kChatSpacingMs = 20;

// How long a final block message that ends with what has arrived is held,
// in case the network split it just after a "|" of its payload. The sender
// sends nothing else before our "OK:" (but chat), so bytes that follow
// within this time and begin no message are the rest of it.
constexpr int kFinalBlockWaitMs = 250;

} // namespace

Session::Session(const QString& appDir, const QString& recvFolder, Socket& sock, Services& services,
                 SessionView& view, QObject* parent)
    : QObject(parent), m_sock(sock), m_services(services), m_view(view),
      m_engine(std::make_unique<SDK>(QFile::encodeName(appDir).toStdString())),
      m_sender(TransferContext{*m_engine, view, [this](const QByteArray& m) { return send(m); },
                               [this] { return m_sock.bytesToWrite(); }}),
      m_receiver(TransferContext{*m_engine, view, [this](const QByteArray& m) { return send(m); }},
                 recvFolder) {
    connect(&m_sock, &Socket::connectionRequest, this, &Session::onConnectionRequest);
    connect(&m_sock, &Socket::dataArrival, this, &Session::onDataArrival);
    connect(&m_sock, &Socket::sendProgress, this, [this] {
        m_view.bumpSendBar();
        m_sender.bufferDrained();
    });
    connect(&m_sock, &Socket::connectionLost, this, &Session::onConnectionLost);
    connect(&m_sock, &Socket::connectFailed, this, [this] { m_connectFailed = true; });
    m_sender.setIdleHandler([this](bool completed) { senderIdle(completed); });
    m_receiver.setIdleHandler([this] { scheduleNextFile(); });
    m_nextFileTimer.setSingleShot(true);
    connect(&m_nextFileTimer, &QTimer::timeout, this, &Session::sendNextFile);
    m_reassembler.holdFinalBlocks(true);
    m_finalBlockWait.setSingleShot(true);
    connect(&m_finalBlockWait, &QTimer::timeout, this, [this] {
        m_reassembler.releaseHeld();
        handleBuffered();
    });
    m_chatTimer.setSingleShot(true);
    connect(&m_chatTimer, &QTimer::timeout, this, &Session::sendHeldChat);
}

Session::~Session() = default;

int Session::parsePort(const QString& portStr) {
    // Digits only: no sign, no blanks inside, at most five of them.
    const QString text = portStr.trimmed();
    if (text.isEmpty() || text.size() > 5)
        return 0;
    for (const QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return 0;
    const int port = text.toInt();
    return port >= 1 && port <= 65535 ? port : 0;
}

bool Session::send(const QByteArray& message) {
    if (!m_sock.sendData(message))
        return false;
    emit messageSent(message);
    return true;
}

Outcome<QByteArray> Session::seedText(const QString& hostAddr, const QString& clientAddr) const {
    const Outcome<std::string> seed = MakeSeedText(TextCodec::toWire(hostAddr).toStdString(),
                                                   TextCodec::toWire(clientAddr).toStdString());
    if (!seed)
        return Failure{seed.error()};
    if (const Outcome<> usable = SeedTextUsable(seed.value()); !usable)
        return Failure{usable.error()};
    return QByteArray::fromStdString(seed.value());
}

// ------------------------------------------------------------ connecting

int Session::portForNewConnection(const QString& portStr) {
    if (m_connected) {
        m_services.message("You are connected already.  End this connection first.");
        return 0;
    }
    const int port = parsePort(portStr);
    if (port == 0)
        m_services.message(QStringLiteral("The port \"%1\" is not a whole number from 1 to "
                                          "65535.  Enter a port, press Save and start the "
                                          "program again.")
                               .arg(portStr));
    return port;
}

void Session::Listen(const QString& portStr) {
    if (m_connecting)
        return;
    const int port = portForNewConnection(portStr);
    if (port == 0)
        return;
    // Listening afresh: whatever the socket held (an earlier listener, a
    // connection the peer has left) is closed first.
    m_sock.close();
    m_linked = false;
    m_reassembler.clear();
    m_finalBlockWait.stop();
    m_sock.setLocalPort(port);
    QString error;
    if (!m_sock.listen(&error)) {
        m_services.message(
            QStringLiteral("Cannot wait for a connection on port %1: %2").arg(port).arg(error));
        return;
    }
    m_view.UpdateList("Waiting for Connection");
    m_host = true;
    m_client = false;
}

void Session::onConnectionRequest(int requestId) {
    if (m_connected || m_linked)
        return; // one connection at a time; the request is dropped with the listener
    if (m_sock.state() != Socket::Closed)
        m_sock.close();
    QString error;
    if (!m_sock.accept(requestId, &error)) {
        m_view.UpdateList("A connection request could not be accepted: " + error);
        return;
    }
    m_linked = true;
    m_reassembler.clear();
    m_finalBlockWait.stop();
    m_connected = true;
    m_view.setSendButtonsEnabled(true);
}

void Session::Connect(const QString& portStr) {
    if (m_connecting)
        return;
    const QString host = m_view.peerAddressText().trimmed();
    if (host.isEmpty()) {
        m_services.message("Missing IP Address.");
        return;
    }
    const int port = portForNewConnection(portStr);
    if (port == 0)
        return;
    // A typed dotted address is checked before anything is sent; a host name
    // is checked once its address is known.
    const bool dotted = QHostAddress(host).protocol() == QAbstractSocket::IPv4Protocol;
    if (dotted) {
        if (const Outcome<QByteArray> seed = seedText(host, m_view.ownAddressText()); !seed) {
            m_services.message(kNoKeys + seed.error());
            return;
        }
    }

    m_sock.close();
    m_linked = false;
    m_reassembler.clear();
    m_finalBlockWait.stop();
    m_connectFailed = false;
    m_sock.connectTo(host, quint16(port));
    m_view.UpdateList("Connecting...");

    m_connecting = true;
    for (int polls = 0; polls < kConnectPolls; ++polls) {
        if (m_sock.state() == Socket::Connected || m_connectFailed)
            break;
        m_services.processEvents(kPollMs);
    }
    m_connecting = false;

    if (m_sock.state() != Socket::Connected) {
        // A connect that completes after the wait would never be used.
        m_sock.close();
        m_services.message(kCannotConnect);
        return;
    }
    m_linked = true;
    if (!dotted) {
        // Keys are made from the address actually connected to, which is
        // what the host sees.
        m_view.setPeerAddressText(m_sock.remoteAddress());
        const Outcome<QByteArray> seed =
            seedText(m_view.peerAddressText(), m_view.ownAddressText());
        if (!seed) {
            m_sock.close();
            m_linked = false;
            m_services.message(kNoKeys + seed.error());
            return;
        }
    }
    m_client = true;
    send(wire::message(wire::Kind::Address, TextCodec::toWire(m_view.ownAddressText())));
    const bool keys = GenerateKeys();
    m_view.UpdateList("Connected");
    if (keys)
        m_view.UpdateList("Key check: " + m_keyCheck);
    m_connected = true;
}

bool Session::GenerateKeys() {
    const QString own = m_view.ownAddressText();
    const QString peer = m_view.peerAddressText();
    const Outcome<QByteArray> seed = m_host ? seedText(own, peer) : seedText(peer, own);
    m_keyCheck.clear();
    if (!seed) {
        m_services.message(kNoKeys + seed.error());
        return false;
    }
    std::string text = seed.value().toStdString();
    const EngineResult made = m_engine->CreateKeys(text);
    if (!made) {
        m_services.message("The keys could not be made: " + QString::fromStdString(made.error));
        return false;
    }
    std::string digest;
    if (m_engine->KeyCheck(digest))
        m_keyCheck = QString::fromStdString(digest);
    m_view.setSendButtonsEnabled(true);
    return true;
}

// ------------------------------------------------------------- arrivals

void Session::onDataArrival() {
    handleArrival(m_sock.getData());
}

void Session::handleArrival(const QByteArray& bytes) {
    m_view.bumpReceiveBar();
    m_finalBlockWait.stop();
    m_reassembler.push(bytes);
    handleBuffered();
}

void Session::handleBuffered() {
    QByteArray message;
    for (;;) {
        const Reassembler::Result r =
            m_reassembler.next(m_receiver.ClientRecv() ? Reassembler::Reception::Running
                                                       : Reassembler::Reception::Idle,
                               message);
        if (r == Reassembler::Result::NeedMore)
            return;
        if (r == Reassembler::Result::Held) {
            // Bytes that arrive within this wait continue the final block.
            m_finalBlockWait.start(kFinalBlockWaitMs);
            return;
        }
        if (r == Reassembler::Result::Overflow) {
            m_view.UpdateList("The other side sent a damaged file block; the connection was "
                              "closed.");
            // The peer sees the connection lost; "XX:" would tell it that
            // this side's user left, and end its program.
            m_sock.close();
            endConnection(QStringLiteral("the connection was closed"));
            return;
        }
        const int connection = m_connectionCount;
        dispatch(message);
        if (connection != m_connectionCount)
            return; // the connection ended while handling the message
    }
}

void Session::dispatch(const QByteArray& message) {
    switch (wire::kindOf(message)) {
    case wire::Kind::Address:
        handleAddress(wire::payloadOf(message));
        break;
    case wire::Kind::Chat:
        handleChat(wire::payloadOf(message));
        break;
    case wire::Kind::FileName:
        m_receiver.begin(wire::payloadOf(message));
        break;
    case wire::Kind::Block:
    case wire::Kind::FinalBlock:
        m_receiver.block(message);
        break;
    case wire::Kind::Ack:
        m_sender.acknowledge();
        break;
    case wire::Kind::End:
        handlePeerEnd();
        break;
    case wire::Kind::Unknown:
        break; // not a message of ours: ignored
    }
}

void Session::handleAddress(const QByteArray& payload) {
    if (!m_host)
        return; // only the side that waited is told the other's address
    m_view.setPeerAddressText(TextCodec::fromWire(payload));
    const bool keys = GenerateKeys();
    m_view.UpdateList("Connected.");
    if (keys)
        m_view.UpdateList("Key check: " + m_keyCheck);
}

void Session::handleChat(const QByteArray& payload) {
    const Outcome<QByteArray> line = decrypted(*m_engine, payload);
    if (!line) {
        m_view.UpdateList("A chat line could not be decrypted: " + line.error());
        return;
    }
    m_view.UpdateChatList(TextCodec::fromWire(line.value()));
}

void Session::handlePeerEnd() {
    const bool client = m_client;
    m_connected = false;
    m_sock.close();
    endConnection(QStringLiteral("the other side ended the connection"));
    if (client) {
        m_services.message(kPeerEnded + kProgramEnds);
        m_services.endProgram();
    } else {
        m_services.message(kPeerEnded);
    }
}

void Session::onConnectionLost(const QString&) {
    if (!m_linked)
        return;
    m_view.UpdateList("Connection lost.");
    endConnection(QStringLiteral("the connection was lost"));
}

void Session::endConnection(const QString& transferWhy) {
    ++m_connectionCount;
    m_linked = false;
    m_connected = false;
    m_host = false;
    m_client = false;
    m_reassembler.clear();
    m_finalBlockWait.stop();
    m_sender.abort(transferWhy);
    m_receiver.abort(transferWhy);
    dropHeldChat();
    dropWaitingFiles(QStringLiteral("the connection ended"));
    // Key material stays on disk only while a connection is in use.
    wipe();
}

void Session::wipe() {
    const EngineResult r = m_engine->WipeWorkFiles();
    if (!r)
        m_view.UpdateList("Some key files could not be wiped: " + QString::fromStdString(r.error));
}

// --------------------------------------------------------------- sending

void Session::SendChat(const QString& line) {
    if (line.isEmpty())
        return;
    if (!m_connected) {
        m_services.message("You are not connected.");
        return;
    }
    m_view.UpdateChatList("<" + line + ">");
    const Outcome<QByteArray> cipher = encrypted(*m_engine, TextCodec::toWire(line));
    if (!cipher) {
        m_services.message("The line could not be encrypted: " + cipher.error());
        return;
    }
    const QByteArray message = wire::message(wire::Kind::Chat, cipher.value());
    if (chatMustWait()) {
        m_heldChat << message;
        if (!m_toldChatWaits)
            m_view.UpdateList("Chat lines are sent when the file has gone.");
        m_toldChatWaits = true;
        return;
    }
    send(message);
}

bool Session::chatMustWait() const {
    return m_sender.busy() || !m_heldChat.isEmpty();
}

void Session::sendHeldChat() {
    if (m_heldChat.isEmpty() || m_chatTimer.isActive())
        return;
    if (!m_connected) {
        dropHeldChat();
        return;
    }
    if (m_sender.busy())
        return; // another file is on its way; the lines follow it
    send(m_heldChat.takeFirst());
    if (m_heldChat.isEmpty()) {
        m_toldChatWaits = false;
        scheduleNextFile();
    } else {
        m_chatTimer.start(kChatSpacingMs);
    }
}

void Session::senderIdle(bool completed) {
    if (!completed)
        dropWaitingFiles(m_connected ? QStringLiteral("the file before them did not go")
                                     : QStringLiteral("the connection ended"));
    if (m_heldChat.isEmpty())
        scheduleNextFile();
    else
        sendHeldChat();
}

void Session::scheduleNextFile() {
    // Not from inside an arrival: sending waits a moment after the
    // announcement and lets events run meanwhile. Apart from whatever went
    // last, so that the announcement arrives on its own.
    if (!m_waitingFiles.isEmpty() && !m_nextFileTimer.isActive())
        m_nextFileTimer.start(kChatSpacingMs);
}

void Session::sendNextFile() {
    if (m_waitingFiles.isEmpty() || m_sender.busy() || !m_heldChat.isEmpty() ||
        m_receiver.ClientRecv())
        return; // tried again when the sender, the chat or the reception is done
    if (!m_connected) {
        dropWaitingFiles(QStringLiteral("the connection ended"));
        return;
    }
    const QString next = m_waitingFiles.takeFirst();
    if (!m_waitingFiles.isEmpty())
        m_view.UpdateList(
            m_waitingFiles.size() == 1
                ? QStringLiteral("1 more file waiting.")
                : QStringLiteral("%1 more files waiting.").arg(m_waitingFiles.size()));
    SendFile(next, Confirm::Skip);
    if (!m_sender.busy())
        scheduleNextFile(); // that one could not be sent; on to the next
}

void Session::dropWaitingFiles(const QString& why) {
    m_nextFileTimer.stop();
    if (m_waitingFiles.isEmpty())
        return;
    const qsizetype n = m_waitingFiles.size();
    m_waitingFiles.clear();
    m_view.UpdateList(QStringLiteral("%1 waiting not sent: %2.").arg(files(n), why));
}

void Session::dropHeldChat() {
    m_chatTimer.stop();
    m_toldChatWaits = false;
    if (m_heldChat.isEmpty())
        return;
    const qsizetype n = m_heldChat.size();
    m_heldChat.clear();
    m_view.UpdateList(
        n == 1 ? QStringLiteral("1 chat line was not sent: the connection ended.")
               : QStringLiteral("%1 chat lines were not sent: the connection ended.").arg(n));
}

void Session::SendFile(const QString& fn, Confirm confirm) {
    if (confirm == Confirm::Ask &&
        !m_services.question("Are you sure you want to send the file " + fn + "?", "Send Confirm"))
        return;
    if (!m_connected) {
        m_services.message("You are not connected.");
        return;
    }
    if (m_sender.busy()) {
        m_services.message("A file is being sent already.  Wait until it has been transferred.");
        return;
    }
    // The peer is sending: an announcement of ours would reach it glued to
    // an "OK:", and a peer that reads one message per arrival loses it.
    if (m_receiver.ClientRecv()) {
        m_services.message("A file is being received.  Wait until it has arrived.");
        return;
    }
    if (const Outcome<> opened = m_sender.open(fn); !opened) {
        m_services.message(opened.error());
        return;
    }
    if (!m_sender.announce())
        return;
    // The announcement has no terminator: the first block follows a moment
    // later so that it arrives on its own.
    Pause(2);
    if (!m_sender.busy())
        return; // cancelled, or the connection ended, during the pause
    if (!m_connected) {
        m_sender.abort(QStringLiteral("the connection ended"));
        return;
    }
    m_sender.start();
}

void Session::SendFiles(const QStringList& paths, Confirm confirm) {
    if (paths.isEmpty())
        return;
    if (!m_connected) {
        m_services.message("You are not connected.");
        return;
    }
    if (m_receiver.ClientRecv()) {
        m_services.message("A file is being received.  Wait until it has arrived.");
        return;
    }
    QStringList chosen;
    for (const QString& fn : paths) {
        if (confirm == Confirm::Skip ||
            m_services.question("Are you sure you want to send the file " + fn + "?",
                                "Send Confirm"))
            chosen << fn;
    }
    if (chosen.isEmpty())
        return;
    m_waitingFiles << chosen;
    if (m_sender.busy() || !m_heldChat.isEmpty()) {
        m_view.UpdateList(QStringLiteral("%1 waiting.").arg(files(m_waitingFiles.size())));
        return;
    }
    m_nextFileTimer.stop();
    sendNextFile();
}

void Session::CancelSend() {
    if (!m_sender.busy())
        return;
    dropWaitingFiles(QStringLiteral("sending was cancelled"));
    m_sender.cancel();
}

void Session::Pause(int secs) {
    QString t = m_services.timeOfDay();
    for (int count = 0;;) {
        while (m_services.timeOfDay() == t)
            m_services.processEvents(20);
        if (++count >= secs)
            return;
        t = m_services.timeOfDay();
    }
}

// ---------------------------------------------------------------- ending

void Session::Close() {
    if (m_connected) {
        send(wire::message(wire::Kind::End));
        m_sock.close();
    }
    endConnection(QStringLiteral("the program was closed"));
}

void Session::Exit() {
    Close();
    m_services.endProgram();
}
