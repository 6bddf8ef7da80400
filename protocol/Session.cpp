#include "protocol/Session.h"

#include "engine/SDK.h"
#include "platform/Services.h"
#include "platform/Socket.h"
#include "platform/TextCodec.h"
#include "protocol/KeySeed.h"
#include "protocol/SessionView.h"
#include "protocol/Wire.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>

namespace {

const QString kCannotConnect =
    QStringLiteral("Connection cannot be made.  Check your ip address and port settings and "
                   "try again.");
const QString kPeerEnded =
    QStringLiteral("Your connection was terminated manually by the person.  ");
const QString kProgramEnds = QStringLiteral("The program will now terminate.");
// The reason given with "FC:" when a transfer ends because its other side's
// program is closing.
const QString kClosedProgram = QStringLiteral("the other person closed the program");
const QString kNoKeys = QStringLiteral("No keys can be made from these addresses: ");
const QString kKeysDiffer = QStringLiteral("The keys of the two sides do not seem to match: "
                                           "compare the Key check lines.");

// The connect wait: this many polls, each waiting up to kPollMs for socket
// events, so a real connection has a few seconds to complete.
constexpr int kConnectPolls = 2500;
constexpr int kPollMs = 2;

// Longest piece of a peer's text quoted in a status line.
constexpr int kQuotedChars = 64;

QString quoted(const QString& text) {
    return text.size() <= kQuotedChars ? text : text.left(kQuotedChars) + QChar(0x2026);
}

// Whether a decrypted chat line reads as text. A line typed by a person
// holds no control characters (a tab at most), in either code page; a line
// decrypted with keys other than the sender's is random bytes, and any one of
// them is a control byte about once in eight.
bool readsAsText(const QByteArray& line) {
    for (const char ch : line) {
        const uchar c = uchar(ch);
        if ((c < 0x20 && c != '\t') || c == 0x7F)
            return false;
    }
    return true;
}
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
                 recvFolder),
      m_link(sock, SecureLink::Handlers{
                       [this](const QByteArray& b) { handleArrival(b); },
                       [this](const QByteArray& m) { dispatchInner(m); },
                       [this](const QByteArray& a) { adoptHostAddress(a); },
                       [this](const QString& line) { m_view.UpdateList(line); },
                       [this](bool damaged) { closeByLink(damaged); },
                       [this](const QByteArray& m) { emit messageSent(m); },
                       [this] { onLinkModeChanged(); },
                   }) {
    m_link.setEnabled(false);
    connect(&m_sock, &Socket::connectionRequest, this, &Session::onConnectionRequest);
    connect(&m_sock, &Socket::dataArrival, this, &Session::onDataArrival);
    connect(&m_sock, &Socket::sendProgress, this, [this] {
        m_view.bumpSendBar();
        m_sender.bufferDrained();
    });
    connect(&m_sock, &Socket::connectionLost, this, &Session::onConnectionLost);
    connect(&m_sock, &Socket::connectFailed, this, [this](const QString& reason) {
        m_connectFailed = true;
        m_connectFailure = reason;
    });
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
    return m_link.send(message);
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

QString Session::ownAddress() {
    const QString text = m_view.ownAddressText();
    const QString trimmed = text.trimmed();
    if (trimmed != text)
        m_view.setOwnAddressText(trimmed);
    return trimmed;
}

QString Session::typedPeerAddress() {
    const QString text = m_view.peerAddressText();
    const QString trimmed = text.trimmed();
    if (trimmed != text)
        m_view.setPeerAddressText(trimmed);
    return trimmed;
}

bool Session::IsWaiting() const {
    return m_sock.state() == Socket::Listening;
}

void Session::beginConnection() {
    m_heard = false;
    m_addressTaken = false;
    m_repeatNoted = false;
    m_unreadableNoted = false;
    m_peerClosing = false;
    m_lastWasTransferEnd = false;
    m_view.connectionBegan();
}

void Session::Listen(const QString& portStr) {
    if (m_connecting || m_closed)
        return;
    const int port = portForNewConnection(portStr);
    if (port == 0)
        return;
    // Listening afresh: whatever the socket held (an earlier listener, a
    // connection the peer has left) is closed first.
    m_sock.close();
    m_linked = false;
    m_reassembler.clear();
    m_link.end();
    m_finalBlockWait.stop();
    m_sock.setLocalPort(port);
    QString error;
    if (!m_sock.listen(&error)) {
        m_services.message(
            QStringLiteral("Cannot wait for a connection on port %1: %2").arg(port).arg(error));
        return;
    }
    ownAddress();
    m_view.UpdateList("Waiting for Connection");
    m_host = true;
    m_client = false;
    emit connectionStateChanged();
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
    beginConnection();
    m_finalBlockWait.stop();
    m_connected = true;
    m_view.setSendButtonsEnabled(true);
    emit connectionStateChanged();
}

void Session::Connect(const QString& portStr) {
    if (m_connecting || m_closed)
        return;
    const QString host = typedPeerAddress();
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
        if (const Outcome<QByteArray> seed = seedText(host, ownAddress()); !seed) {
            m_services.message(kNoKeys + seed.error());
            return;
        }
    }

    // Whatever this side was doing (waiting included) ends here: from now on
    // it is the side that connects, and the keys put the other side first.
    m_sock.close();
    m_linked = false;
    m_host = false;
    m_client = false;
    m_reassembler.clear();
    m_link.end();
    m_finalBlockWait.stop();
    m_connectFailed = false;
    m_connectFailure.clear();
    m_stopConnecting = false;
    m_sock.connectTo(host, quint16(port));
    m_view.UpdateList("Connecting...");

    m_connecting = true;
    emit connectionStateChanged();
    for (int polls = 0; polls < kConnectPolls; ++polls) {
        if (m_sock.state() == Socket::Connected || m_connectFailed || m_stopConnecting)
            break;
        m_services.processEvents(kPollMs);
    }
    m_connecting = false;

    if (m_stopConnecting) {
        // Exit, the close box or Disconnect during the wait: a connection
        // that has completed meanwhile is not used.
        m_sock.close();
        emit connectionStateChanged();
        return;
    }
    if (m_sock.state() != Socket::Connected) {
        // A connect that completes after the wait would never be used.
        m_sock.close();
        // The list says why, and that the trying is over.
        QString why = m_connectFailed ? m_connectFailure
                                      : QStringLiteral("Cannot connect to %1 port %2: no answer "
                                                       "(timed out)")
                                            .arg(host)
                                            .arg(port);
        if (!why.endsWith(QLatin1Char('.')))
            why += QLatin1Char('.');
        m_view.UpdateList(why);
        emit connectionStateChanged();
        m_services.message(kCannotConnect);
        return;
    }
    m_linked = true;
    beginConnection();
    if (!dotted) {
        // Keys are made from the address actually connected to, which is
        // what the host sees.
        m_view.setPeerAddressText(m_sock.remoteAddress());
        const Outcome<QByteArray> seed =
            seedText(m_view.peerAddressText(), m_view.ownAddressText());
        if (!seed) {
            m_sock.close();
            m_linked = false;
            emit connectionStateChanged();
            m_services.message(kNoKeys + seed.error());
            return;
        }
    }
    m_client = true;
    const QString own = ownAddress();
    m_link.startClient();
    if (!m_linked)
        return; // closed at once: secure connections are required but switched off
    send(wire::message(wire::Kind::Address, TextCodec::toWire(own)));
    const bool keys = GenerateKeys();
    m_view.UpdateList("Connected");
    if (keys)
        m_view.UpdateList("Key check: " + m_keyCheck);
    m_connected = true;
    emit connectionStateChanged();
}

bool Session::GenerateKeys() {
    if (m_closed)
        return false; // the program is ending: no key files are made
    const QString own = ownAddress();
    // The host's peer text is the "IP:" payload, exactly as the peer used it.
    const QString peer = m_host ? m_view.peerAddressText() : typedPeerAddress();
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
    const QByteArray bytes = m_sock.getData();
    m_link.setTransferRunning(m_sender.busy() || m_receiver.ClientRecv());
    if (m_link.secure())
        m_view.bumpReceiveBar();
    m_link.receive(bytes);
}

void Session::handleArrival(const QByteArray& bytes) {
    if (!bytes.isEmpty())
        m_heard = true;
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
    const wire::Kind kind = wire::kindOf(message);
    m_lastWasTransferEnd = kind == wire::Kind::FinalBlock || kind == wire::Kind::Ack;
    switch (kind) {
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
    case wire::Kind::FileSize:
    case wire::Kind::Cancel:
    case wire::Kind::Unknown:
        break; // not a message of ours: ignored
    }
}

void Session::handleAddress(const QByteArray& payload) {
    if (!m_host)
        return; // only the side that waited is told the other's address
    if (m_addressTaken) {
        // The keys of a connection are made once; a peer that keeps sending
        // its address gets one line, not a key generation (or box) each.
        if (!m_repeatNoted) {
            m_repeatNoted = true;
            m_view.UpdateList("The other side sent its address again; it was ignored.");
        }
        return;
    }
    m_addressTaken = true;
    const QString said = TextCodec::fromWire(payload);
    m_view.setPeerAddressText(said);
    const bool keys = GenerateKeys();
    m_view.UpdateList("Connected.");
    if (keys)
        m_view.UpdateList("Key check: " + m_keyCheck);
    // The address the connection really comes from: when the other side
    // names another one (a typing error, a router between the two), it may
    // also have typed this side's address differently from txtIP.
    const QString from = m_sock.remoteAddress();
    if (!from.isEmpty() && said != from)
        m_view.UpdateList(QStringLiteral("The other side gives its address as %1, but the "
                                         "connection comes from %2: chat may not be readable "
                                         "(see Help > Using Vantrel).")
                              .arg(quoted(said), from));
    // The offer of a secure connection is the first thing the host sends.
    if (m_linked)
        m_link.startHost(TextCodec::toWire(ownAddress()));
}

void Session::handleChat(const QByteArray& payload) {
    const Outcome<QByteArray> line = decrypted(*m_engine, payload);
    if (!line) {
        m_view.UpdateList("A chat line could not be decrypted: " + line.error());
        return;
    }
    const QString text = TextCodec::fromWire(line.value());
    m_view.UpdateChatList(text);
    m_view.chatArrived(text);
    if (!m_unreadableNoted && !readsAsText(line.value())) {
        m_unreadableNoted = true;
        m_view.UpdateList(kKeysDiffer);
    }
}

void Session::handlePeerEnd() {
    const bool client = m_client;
    m_connected = false;
    m_sock.close();
    endConnection(QStringLiteral("the other side ended the connection"));
    if (!client)
        m_view.UpdateList(m_peerClosing ? QStringLiteral("The other person closed the program.")
                                        : QStringLiteral("The other person ended the connection."));
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
    if (m_host && !m_heard) {
        // A connection that closed before sending anything (a port scan, a
        // health check) was not the other person: go on waiting.
        m_linked = false;
        m_connected = false;
        m_reassembler.clear();
        m_link.end();
        m_view.setSendButtonsEnabled(false);
        m_sock.close();
        QString error;
        if (m_sock.listen(&error)) {
            emit connectionStateChanged();
            return;
        }
        m_view.UpdateList("Waiting for a connection has ended: " + error);
        endConnection(QStringLiteral("the connection was lost"));
        return;
    }
    // A final block held back in case more of it was on its way is whole:
    // nothing more can come. The file it ends is kept.
    if (m_finalBlockWait.isActive()) {
        m_finalBlockWait.stop();
        m_reassembler.releaseHeld();
        const int before = m_connectionCount;
        handleBuffered();
        if (before != m_connectionCount)
            return;
    }
    // A frame cut short by the end of the stream is damage, not a loss.
    const int connection = m_connectionCount;
    m_link.lost();
    if (connection != m_connectionCount)
        return;
    // A program that ends right after a file has gone may take its "XX:"
    // with it; the legacy way cannot tell that from a failure.
    const bool afterTransfer =
        !m_link.secure() && m_lastWasTransferEnd && !m_sender.busy() && !m_receiver.ClientRecv();
    m_view.UpdateList(afterTransfer ? QStringLiteral("The connection ended.")
                                    : QStringLiteral("Connection lost."));
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
    m_link.end();
    m_view.setLinkMode(SessionView::LinkMode::None);
    m_receiver.setTellsSender(false);
    m_sender.stop(transferWhy);
    m_receiver.abort(transferWhy);
    m_view.setSendButtonsEnabled(false);
    dropHeldChat();
    dropWaitingFiles(QStringLiteral("the connection ended"));
    // Key material stays on disk only while a connection is in use.
    wipe();
    emit connectionStateChanged();
}

void Session::wipe() {
    const EngineResult r = m_engine->WipeWorkFiles();
    if (!r)
        m_view.UpdateList("Some key files could not be wiped: " + QString::fromStdString(r.error));
}

// --------------------------------------------------------------- sending

bool Session::SendChat(const QString& line) {
    if (line.isEmpty())
        return false;
    if (!m_connected) {
        m_services.message("You are not connected.");
        return false;
    }
    const Outcome<QByteArray> cipher = encrypted(*m_engine, TextCodec::toWire(line));
    if (!cipher) {
        m_services.message("The line could not be encrypted: " + cipher.error());
        return false;
    }
    const QByteArray message = wire::message(wire::Kind::Chat, cipher.value());
    if (chatMustWait()) {
        m_heldChat << message;
        m_view.UpdateChatList("<" + line + ">");
        if (!m_toldChatWaits)
            m_view.UpdateList("Chat lines are sent when the file has gone.");
        m_toldChatWaits = true;
        return true;
    }
    if (!send(message)) {
        m_services.message("The line was not sent.  " + m_sock.errorString());
        return false;
    }
    m_view.UpdateChatList("<" + line + ">");
    return true;
}

bool Session::chatMustWait() const {
    // Frames keep chat apart from blocks: nothing waits inside them.
    if (m_link.sendsFrames())
        return false;
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
    if (m_waitingFiles.isEmpty())
        queueDone();
    if (m_heldChat.isEmpty())
        scheduleNextFile();
    else
        sendHeldChat();
}

void Session::queueDone() {
    if (!m_showingQueued)
        return;
    m_showingQueued = false;
    m_view.setQueuedFile(QString());
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
        receivingBlocksSending())
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
    m_view.setQueuedFile(next);
    m_showingQueued = true;
    SendFile(next, Confirm::Skip);
    if (m_sender.busy())
        return;
    if (m_waitingFiles.isEmpty())
        queueDone();
    else
        scheduleNextFile(); // that one could not be sent; on to the next
}

void Session::dropWaitingFiles(const QString& why) {
    m_nextFileTimer.stop();
    if (!m_sender.busy())
        queueDone();
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
    if (receivingBlocksSending()) {
        m_services.message("A file is being received.  Wait until it has arrived.");
        return;
    }
    if (const Outcome<> opened = m_sender.open(fn); !opened) {
        m_services.message(opened.error());
        return;
    }
    if (m_link.sendsFrames()) {
        // Frames keep messages apart: no pause, several blocks in flight.
        m_sender.setWindow(qBound(1, m_link.peerWindow(), SecureChannel::MaxWindow));
        m_sender.setFramed(true);
        if (!send(wire::message(wire::Kind::FileSize, QByteArray::number(m_sender.size())))) {
            m_sender.abort(QStringLiteral("the connection refused the file announcement"));
            return;
        }
        if (m_sender.announce())
            m_sender.start();
        return;
    }
    // One block message at a time, each after the answer to the one before.
    m_sender.setWindow(1);
    m_sender.setFramed(false);
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

bool Session::confirmFiles(const QStringList& paths) {
    if (paths.size() == 1)
        return m_services.question("Are you sure you want to send the file " + paths.first() + "?",
                                   "Send Confirm");
    // One question for all of them, in the order they will go.
    constexpr qsizetype kListed = 12;
    qint64 total = 0;
    for (const QString& fn : paths)
        total += QFileInfo(fn).size();
    QStringList lines = paths.mid(0, kListed);
    if (paths.size() > kListed)
        lines << QStringLiteral("and %1 more").arg(paths.size() - kListed);
    return m_services.question(QStringLiteral("Are you sure you want to send these %1 files "
                                              "(%2 in all)?\n\n%3")
                                   .arg(paths.size())
                                   .arg(sizeText(total), lines.join(QLatin1Char('\n'))),
                               "Send Confirm");
}

void Session::SendFiles(const QStringList& paths, Confirm confirm) {
    if (paths.isEmpty())
        return;
    if (!m_connected) {
        m_services.message("You are not connected.");
        return;
    }
    if (receivingBlocksSending()) {
        m_services.message("A file is being received.  Wait until it has arrived.");
        return;
    }
    if (confirm == Confirm::Ask && !confirmFiles(paths))
        return;
    m_waitingFiles << paths;
    if (m_sender.busy() || !m_heldChat.isEmpty()) {
        m_view.UpdateList(QStringLiteral("%1 waiting.").arg(files(m_waitingFiles.size())));
        return;
    }
    m_nextFileTimer.stop();
    sendNextFile();
}

bool Session::receivingBlocksSending() const {
    // In the legacy way an announcement of ours would reach the sending peer
    // glued to an "OK:", and a peer that reads one message per arrival
    // loses it. Frames keep the two directions apart.
    return !m_link.sendsFrames() && m_receiver.ClientRecv();
}

bool Session::CancelSend() {
    if (!m_sender.busy())
        return false;
    dropWaitingFiles(QStringLiteral("sending was cancelled"));
    // Inside the frames the receiver is told and discards its part; in the
    // legacy way the wire cannot say it, and the receiver gives up when
    // nothing more comes.
    if (m_link.sendsFrames() && m_sender.FileInProgress())
        send(wire::message(wire::Kind::Cancel, "S"));
    m_sender.cancel();
    return true;
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
    m_closed = true;
    m_stopConnecting = m_connecting;
    if (m_connected) {
        // Inside frames the other side can be told why its transfer ends.
        if (m_link.sendsFrames() && m_sender.FileInProgress())
            send(wire::message(wire::Kind::Cancel, "S" + kClosedProgram.toUtf8()));
        if (m_link.sendsFrames() && m_receiver.ClientRecv())
            send(wire::message(wire::Kind::Cancel, "R" + kClosedProgram.toUtf8()));
        send(wire::message(wire::Kind::End));
        m_sock.close();
    }
    endConnection(QStringLiteral("the program was closed"));
}

void Session::Exit() {
    Close();
    m_services.endProgram();
}

// ------------------------------------------------------ secure connection

void Session::setSecureOptions(bool enabled, bool required) {
    m_link.setEnabled(enabled);
    m_secureRequired = required;
}

void Session::dispatchInner(const QByteArray& message) {
    switch (wire::innerKindOf(message)) {
    case wire::Kind::FileSize: {
        const QByteArray digits = message.mid(wire::kPrefixSize);
        bool ok = false;
        const qint64 size = digits.toLongLong(&ok);
        m_receiver.expectSize(ok && size >= 0 ? size : -1);
        return;
    }
    case wire::Kind::Cancel:
        handleCancel(message.mid(wire::kPrefixSize));
        return;
    case wire::Kind::Block:
    case wire::Kind::FinalBlock:
        // A frame holds the whole block message; the receiver takes it
        // without its "|", as reassembly gives it.
        dispatch(message.endsWith(wire::kTerminator) ? message.chopped(1) : message);
        return;
    default:
        dispatch(message);
        return;
    }
}

void Session::handleCancel(const QByteArray& payload) {
    const QString reason = QString::fromUtf8(payload.mid(1)).trimmed();
    const QString why = reason.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(reason);
    // The other program is closing: its "XX:" follows.
    m_peerClosing = reason == kClosedProgram;
    if (payload.startsWith('S')) {
        if (m_receiver.ClientRecv())
            m_receiver.abort(m_peerClosing ? kClosedProgram : "the sender cancelled it" + why);
    } else if (payload.startsWith('R')) {
        if (m_sender.busy())
            m_sender.stop(m_peerClosing ? kClosedProgram : "the other side cancelled it" + why);
    }
}

bool Session::CancelReceiving() {
    if (!m_link.secure() || !m_receiver.ClientRecv())
        return false;
    send(wire::message(wire::Kind::Cancel, "Rcancelled by the other person"));
    m_receiver.abort(QStringLiteral("you cancelled it"));
    return true;
}

void Session::adoptHostAddress(const QByteArray& raw) {
    const QString text = TextCodec::fromWire(raw);
    if (!m_client || text.isEmpty() || text == m_view.peerAddressText())
        return;
    // The host makes its keys from its own text; taking it here makes both
    // sides' keys agree when an address translation lies between them.
    m_view.setPeerAddressText(text);
    m_view.UpdateList(
        QStringLiteral("The other side's address is %1 as it sees it; the keys were made again.")
            .arg(text));
    if (GenerateKeys())
        m_view.UpdateList("Key check: " + m_keyCheck);
}

void Session::onLinkModeChanged() {
    using Mode = SecureLink::Mode;
    const Mode mode = m_link.mode();
    m_receiver.setTellsSender(mode == Mode::Secure);
    switch (mode) {
    case Mode::SettingUp:
        m_view.setLinkMode(SessionView::LinkMode::SettingUp);
        break;
    case Mode::Secure:
        m_view.setLinkMode(SessionView::LinkMode::Secure);
        break;
    case Mode::Legacy:
        m_view.setLinkMode(SessionView::LinkMode::Legacy);
        break;
    case Mode::Idle:
    case Mode::Closed:
        m_view.setLinkMode(SessionView::LinkMode::None);
        break;
    }
    if (mode == Mode::Legacy && m_secureRequired && m_linked) {
        m_view.UpdateList(m_link.enabled()
                              ? QStringLiteral("The connection was closed: secure connections are "
                                               "required, and the other side does not offer one.")
                              : QStringLiteral("The connection was closed: secure connections are "
                                               "required but switched off (Options)."));
        m_sock.close();
        endConnection(QStringLiteral("secure connections are required"));
    }
}

void Session::closeByLink(bool damaged) {
    // No "XX:": the other side sees the connection lost.
    m_sock.close();
    endConnection(damaged ? QStringLiteral("the connection was damaged")
                          : QStringLiteral("the secure connection could not be set up"));
}

void Session::Disconnect() {
    if (m_closed || !(m_connected || m_linked || m_connecting || IsWaiting()))
        return;
    m_stopConnecting = m_connecting;
    if (m_connected)
        send(wire::message(wire::Kind::End));
    m_sock.close();
    endConnection(QStringLiteral("the connection was ended"));
    m_view.UpdateList("Disconnected.");
}
