#include "protocol/Session.h"

#include "engine/SDK.h"
#include "platform/NetAddress.h"
#include "platform/Services.h"
#include "platform/Socket.h"
#include "platform/TextCodec.h"
#include "protocol/KeySeed.h"
#include "protocol/PeerText.h"
#include "protocol/SessionView.h"
#include "protocol/Wire.h"

#include <QFile>
#include <QScopedValueRollback>

#include <QFileInfo>
#include <utility>

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

// Longest piece of a peer's text quoted in a status line, and of a reason
// it gives for stopping a file.
constexpr int kQuotedChars = 64;
constexpr int kReasonChars = 200;

// A connection the other side ends this soon after turning down our offer
// was most likely refused for want of a secure connection.
constexpr qint64 kRefusedWithinMs = 10000;

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

} // namespace

Session::Session(const QString& appDir, const QString& recvFolder, Socket& sock, Services& services,
                 SessionView& view, QObject* parent)
    : QObject(parent), m_sock(sock), m_services(services), m_view(view),
      m_engine(std::make_unique<SDK>(QFile::encodeName(appDir).toStdString())),
      m_sender(TransferContext{*m_engine, view, [this](const QByteArray& m) { return send(m); },
                               [this] { return m_sock.bytesToWrite() + m_channel.unsentBytes(); }}),
      m_receiver(TransferContext{*m_engine, view, [this](const QByteArray& m) { return send(m); }},
                 recvFolder),
      m_channel(sock) {
    m_channel.setSecureEnabled(false);
    connect(&m_channel, &Channel::arrived, this, [this] { m_view.bumpReceiveBar(); });
    connect(&m_channel, &Channel::messageReceived, this, &Session::dispatch);
    connect(&m_channel, &Channel::peerAddress, this, &Session::adoptHostAddress);
    connect(&m_channel, &Channel::status, this, [this](const QString& l) { m_view.UpdateList(l); });
    connect(&m_channel, &Channel::modeChanged, this, &Session::onChannelModeChanged);
    connect(&m_channel, &Channel::messageSent, this, &Session::messageSent);
    connect(&m_channel, &Channel::failed, this, &Session::onChannelFailed);
    connect(&m_channel, &Channel::lost, this, &Session::onConnectionLost);
    connect(&m_sock, &Socket::connectionRequest, this, &Session::onConnectionRequest);
    connect(&m_sock, &Socket::sendProgress, this, [this] {
        m_view.bumpSendBar();
        const Channel::Batch batch(m_channel);
        m_sender.bufferDrained();
    });
    m_sender.setIdleHandler([this](bool completed) { senderIdle(completed); });
    m_receiver.setIdleHandler([this] {
        noteTransfers();
        scheduleNextFile();
    });
    m_nextFileTimer.setSingleShot(true);
    connect(&m_nextFileTimer, &QTimer::timeout, this, &Session::sendNextFile);
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
    return m_channel.send(message);
}

Outcome<QByteArray> Session::seedText(const QString& hostAddr, const QString& clientAddr) {
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
    if (IsConnected()) {
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
    const QString used = NetAddress::canonical(text);
    if (used != text)
        m_view.setOwnAddressText(used);
    return used;
}

QString Session::typedPeerAddress() {
    const QString text = m_view.peerAddressText();
    const QString used = NetAddress::canonical(text);
    if (used != text)
        m_view.setPeerAddressText(used);
    return used;
}

void Session::beginConnection(Role role) {
    m_channel.open();
    m_conn = {};
    m_legacyNotes.clear();
    m_undecidedChat.clear();
    m_since.start();
    m_role = role;
    m_phase = Phase::Connected;
    m_view.connectionBegan();
}

void Session::Listen(const QString& portStr) {
    if (m_phase == Phase::Connecting || m_phase == Phase::Closed)
        return;
    const int port = portForNewConnection(portStr);
    if (port == 0)
        return;
    // Listening afresh: whatever the socket held (an earlier listener, a
    // connection the peer has left) is closed first.
    m_channel.drop();
    m_phase = Phase::Idle;
    m_sock.setLocalPort(port);
    QString error;
    if (!m_sock.listen(&error)) {
        m_services.message(
            QStringLiteral("Cannot wait for a connection on port %1: %2").arg(port).arg(error));
        return;
    }
    ownAddress();
    m_view.UpdateList("Waiting for Connection");
    m_phase = Phase::Waiting;
    m_role = Role::Host;
    emit connectionStateChanged();
}

void Session::onConnectionRequest(int requestId) {
    if (m_phase != Phase::Waiting)
        return; // one connection at a time; the request is dropped with the listener
    if (m_sock.state() != Socket::Closed)
        m_sock.close();
    QString error;
    if (!m_sock.accept(requestId, &error)) {
        m_view.UpdateList("A connection request could not be accepted: " + error);
        return;
    }
    beginConnection(Role::Host);
    m_view.setSendButtonsEnabled(true);
    emit connectionStateChanged();
}

void Session::Connect(const QString& portStr) {
    if (m_phase == Phase::Connecting || m_phase == Phase::Closed)
        return;
    const QString host = typedPeerAddress();
    if (host.isEmpty()) {
        m_services.message("Missing IP Address.");
        return;
    }
    const int port = portForNewConnection(portStr);
    if (port == 0)
        return;
    // A typed address is checked before anything is sent; a host name is
    // checked once its address is known.
    const bool literal = NetAddress::isLiteral(host);
    if (literal) {
        if (const Outcome<QByteArray> seed = seedText(host, ownAddress()); !seed) {
            m_services.message(kNoKeys + seed.error());
            return;
        }
    }
    if (!awaitConnect(host, port) || (!literal && !takeConnectedAddress()))
        return;
    const QString own = ownAddress();
    m_channel.startClient();
    if (!IsConnected())
        return; // closed at once: secure connections are required but switched off
    send(wire::message(wire::Kind::Address, TextCodec::toWire(own)));
    const bool keys = GenerateKeys();
    m_view.UpdateList("Connected");
    if (keys)
        noteForLegacy("Key check: " + m_keyCheck);
    emit connectionStateChanged();
}

bool Session::awaitConnect(const QString& host, int port) {
    // Whatever this side was doing (waiting included) ends here: from now on
    // it is the side that connects, and the keys put the other side first.
    m_channel.drop();
    m_role = Role::None;
    m_sock.connectTo(host, quint16(port));
    m_view.UpdateList("Connecting...");
    m_phase = Phase::Connecting;
    emit connectionStateChanged();
    for (int polls = 0; polls < kConnectPolls && m_phase == Phase::Connecting; ++polls) {
        const int state = m_sock.state();
        if (state == Socket::Connected || state == Socket::Error || state == Socket::Closed)
            break;
        m_services.processEvents(kPollMs);
    }
    if (m_phase != Phase::Connecting) {
        // Exit, the close box or Disconnect during the wait: a connection
        // that has completed meanwhile is not used.
        m_sock.close();
        emit connectionStateChanged();
        return false;
    }
    if (m_sock.state() != Socket::Connected) {
        // The list says why, and that the trying is over.
        QString why = m_sock.state() == Socket::Error || m_sock.lookupFailed()
                          ? m_sock.errorString()
                          : QStringLiteral("Cannot connect to %1 port %2: no answer (timed out)")
                                .arg(host)
                                .arg(port);
        if (!why.endsWith(QLatin1Char('.')))
            why += QLatin1Char('.');
        m_view.UpdateList(why);
        // A connect that completes after the wait would never be used.
        m_sock.close();
        m_phase = Phase::Idle;
        emit connectionStateChanged();
        m_services.message(kCannotConnect);
        return false;
    }
    beginConnection(Role::Client);
    return true;
}

bool Session::takeConnectedAddress() {
    // Keys are made from the address actually connected to, which is what
    // the host sees.
    m_view.setPeerAddressText(m_sock.remoteAddress());
    const Outcome<QByteArray> seed = seedText(m_view.peerAddressText(), m_view.ownAddressText());
    if (seed)
        return true;
    m_channel.drop();
    m_phase = Phase::Idle;
    m_role = Role::None;
    emit connectionStateChanged();
    m_services.message(kNoKeys + seed.error());
    return false;
}

bool Session::GenerateKeys() {
    if (m_phase == Phase::Closed)
        return false; // the program is ending: no key files are made
    const QString own = ownAddress();
    // The host's peer text is the "IP:" payload, exactly as the peer used it.
    const bool host = IsHost();
    const QString peer = host ? m_view.peerAddressText() : typedPeerAddress();
    const Outcome<QByteArray> seed = host ? seedText(own, peer) : seedText(peer, own);
    m_keyCheck.clear();
    // Keys are made on arrivals too: the box waits for the handler to end.
    if (!seed) {
        m_services.messageLater(kNoKeys + seed.error());
        return false;
    }
    std::string text = seed.value().toStdString();
    const EngineResult made = m_engine->CreateKeys(text);
    if (!made) {
        m_services.messageLater("The keys could not be made: " +
                                QString::fromStdString(made.error));
        return false;
    }
    std::string digest;
    if (m_engine->KeyCheck(digest))
        m_keyCheck = QString::fromStdString(digest);
    m_view.setSendButtonsEnabled(true);
    return true;
}

// ------------------------------------------------------------- arrivals

void Session::dispatch(wire::Kind kind, const QByteArray& message) {
    if (m_secureRequired && m_channel.mode() == Channel::Mode::SettingUp && kind != wire::Kind::End)
        return; // required: nothing in the clear is shown, stored or answered
    m_conn.lastWasTransferEnd = kind == wire::Kind::FinalBlock || kind == wire::Kind::Ack;
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
        m_receiver.expectSize(wire::sizeOf(message.mid(wire::kPrefixSize)));
        break;
    case wire::Kind::Cancel:
        handleCancel(message.mid(wire::kPrefixSize));
        break;
    case wire::Kind::Unknown:
        break; // not a message of ours: ignored
    }
    noteTransfers();
}

void Session::noteTransfers() {
    m_channel.setTransfers(m_sender.busy(), m_receiver.ClientRecv());
}

void Session::handleAddress(const QByteArray& payload) {
    if (!IsHost())
        return; // only the side that waited is told the other's address
    if (m_conn.addressTaken) {
        // The keys of a connection are made once; a peer that keeps sending
        // its address gets one line, not a key generation (or box) each.
        if (!m_conn.repeatNoted) {
            m_conn.repeatNoted = true;
            m_view.UpdateList("The other side sent its address again; it was ignored.");
        }
        return;
    }
    m_conn.addressTaken = true;
    const QString said = TextCodec::fromWire(payload);
    m_view.setPeerAddressText(said);
    const bool keys = GenerateKeys();
    m_view.UpdateList("Connected.");
    // The offer of a secure connection is the first thing the host sends.
    const QByteArray own = TextCodec::toWire(ownAddress());
    if (IsConnected())
        m_channel.startHost(own);
    if (keys)
        noteForLegacy("Key check: " + m_keyCheck);
    // The address the connection really comes from: when the other side
    // names another one (a typing error, a router between the two), it may
    // also have typed this side's address differently from txtIP. A secure
    // connection mends that: the client takes the address the offer names,
    // when it names one.
    const QString from = m_sock.remoteAddress();
    if (!from.isEmpty() && !NetAddress::sameAddress(said, from)) {
        const QString warning = QStringLiteral("The other side gives its address as %1, but the "
                                               "connection comes from %2: chat may not be "
                                               "readable (see Help > Using Vantrel).")
                                    .arg(PeerText::isolated(said, kQuotedChars), from);
        if (own.size() > SecureChannel::MaxAddressLength)
            m_view.UpdateList(warning);
        else
            noteForLegacy(warning);
    }
}

void Session::noteForLegacy(const QString& line) {
    if (m_channel.mode() == Channel::Mode::SettingUp)
        m_legacyNotes << line;
    else if (m_channel.mode() != Channel::Mode::Secure)
        m_view.UpdateList(line);
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
    if (!m_conn.unreadableNoted && !readsAsText(line.value())) {
        m_conn.unreadableNoted = true;
        m_view.UpdateList(kKeysDiffer);
    }
}

void Session::handlePeerEnd() {
    // A legacy client ends with its peer, as older copies do; in a secure
    // connection both sides stay, with their chat logs.
    const bool endsProgram = IsClient() && !m_channel.secure();
    endConnection(QStringLiteral("the other side ended the connection"));
    Services& services = m_services;
    if (endsProgram) {
        // The box waits for the arrival's handler to end.
        services.later([&services] {
            services.message(kPeerEnded + kProgramEnds);
            services.endProgram();
        });
        return;
    }
    m_view.UpdateList(m_conn.peerClosing
                          ? QStringLiteral("The other person closed the program.")
                          : QStringLiteral("The other person ended the connection."));
    services.messageLater(kPeerEnded);
}

void Session::onConnectionLost() {
    if (IsHost() && !m_channel.heard()) {
        // A connection that closed before sending anything (a port scan, a
        // health check) was not the other person: go on waiting.
        m_channel.drop();
        m_view.setSendButtonsEnabled(false);
        QString error;
        if (m_sock.listen(&error)) {
            m_phase = Phase::Waiting;
            emit connectionStateChanged();
            return;
        }
        m_view.UpdateList("Waiting for a connection has ended: " + error);
        endConnection(QStringLiteral("the connection was lost"));
        return;
    }
    // A program that ends right after a file has gone may take its "XX:"
    // with it; the legacy way cannot tell that from a failure.
    const bool afterTransfer = !m_channel.secure() && m_conn.lastWasTransferEnd &&
                               !m_sender.busy() && !m_receiver.ClientRecv();
    m_view.UpdateList(afterTransfer ? QStringLiteral("The connection ended.")
                                    : QStringLiteral("Connection lost."));
    // Ended by the other side soon after the offer this side turned down:
    // most likely it requires a secure connection.
    if (m_channel.offerDeclined() && m_since.isValid() && m_since.elapsed() < kRefusedWithinMs)
        m_view.UpdateList(QStringLiteral("The other side probably requires a secure connection. "
                                         "To connect with it, tick Options > Secure Connections "
                                         "and connect again."));
    endConnection(QStringLiteral("the connection was lost"));
}

void Session::endConnection(const QString& transferWhy) {
    m_channel.drop();
    if (m_phase != Phase::Closed)
        m_phase = Phase::Idle;
    m_role = Role::None;
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
    if (!IsConnected()) {
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
        if (m_heldChat.isEmpty())
            m_view.UpdateList("Chat lines are sent when the file has gone.");
        m_heldChat << message;
        m_view.UpdateChatList("<" + line + ">");
        return true;
    }
    // Held by the channel until the connection is known secure or legacy.
    const bool undecided = m_channel.holding();
    if (!send(message)) {
        m_services.message("The line was not sent.  " + m_sock.errorString());
        return false;
    }
    if (undecided)
        m_undecidedChat << line;
    m_view.UpdateChatList("<" + line + ">");
    return true;
}

bool Session::chatMustWait() const {
    // Where messages are kept apart, chat cannot be taken for a block.
    if (m_channel.keepsMessagesApart())
        return false;
    return m_sender.busy() || !m_heldChat.isEmpty();
}

void Session::sendHeldChat() {
    if (m_heldChat.isEmpty() || m_chatTimer.isActive())
        return;
    if (!IsConnected()) {
        dropHeldChat();
        return;
    }
    if (m_sender.busy())
        return; // another file is on its way; the lines follow it
    send(m_heldChat.takeFirst());
    if (m_heldChat.isEmpty()) {
        scheduleNextFile();
    } else {
        m_chatTimer.start(kChatSpacingMs);
    }
}

void Session::senderIdle(bool completed) {
    noteTransfers();
    if (!completed)
        dropWaitingFiles(IsConnected() ? QStringLiteral("the file before them did not go")
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
    if (!IsConnected()) {
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
    {
        const QScopedValueRollback<bool> fromTimer(m_startingWaitingFile, true);
        SendFile(next, Confirm::Skip);
    }
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
    if (!IsConnected()) {
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
        // A waiting file starts from a timer: no box inside it.
        if (m_startingWaitingFile)
            m_services.messageLater(opened.error());
        else
            m_services.message(opened.error());
        return;
    }
    noteTransfers();
    m_sender.setWindow(m_channel.blocksInFlight());
    m_sender.setFramed(m_channel.tellsStops());
    if (m_channel.tellsStops() && !send(wire::sizeMessage(m_sender.size()))) {
        m_sender.abort(QStringLiteral("the connection refused the file announcement"));
        return;
    }
    if (!m_sender.announce())
        return;
    if (!m_channel.keepsMessagesApart()) {
        // The announcement has no terminator: the first block follows a
        // moment later so that it arrives on its own.
        Pause(2);
        if (!m_sender.busy())
            return; // cancelled, or the connection ended, during the pause
        if (!IsConnected()) {
            m_sender.abort(QStringLiteral("the connection ended"));
            return;
        }
    }
    const Channel::Batch batch(m_channel);
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
    if (!IsConnected()) {
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
    return !m_channel.keepsMessagesApart() && m_receiver.ClientRecv();
}

bool Session::CancelSend() {
    if (!m_sender.busy())
        return false;
    dropWaitingFiles(QStringLiteral("sending was cancelled"));
    // Inside the frames the receiver is told and discards its part; in the
    // legacy way the wire cannot say it, and the receiver gives up when
    // nothing more comes.
    if (m_channel.tellsStops() && m_sender.FileInProgress())
        send(wire::cancelMessage(wire::Stopper::Sender, QString()));
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
    if (IsConnected()) {
        // Where the channel tells stops, the other side learns why its
        // transfer ends.
        if (m_channel.tellsStops() && m_sender.FileInProgress())
            send(wire::cancelMessage(wire::Stopper::Sender, kClosedProgram));
        if (m_channel.tellsStops() && m_receiver.ClientRecv())
            send(wire::cancelMessage(wire::Stopper::Receiver, kClosedProgram));
        send(wire::message(wire::Kind::End));
    }
    m_phase = Phase::Closed;
    endConnection(QStringLiteral("the program was closed"));
}

void Session::Exit() {
    Close();
    m_services.endProgram();
}

// ------------------------------------------------------ secure connection

void Session::setSecureOptions(bool enabled, bool required) {
    m_channel.setSecureEnabled(enabled);
    m_channel.setSecureRequired(required);
    m_secureRequired = required;
}

void Session::handleCancel(const QByteArray& payload) {
    wire::Cancel cancel;
    if (!wire::parseCancel(payload, cancel))
        return;
    // The reason is the peer's text, shown as its chat lines are.
    const QString why =
        cancel.reason.isEmpty()
            ? QString()
            : QStringLiteral(" (%1)").arg(PeerText::isolated(cancel.reason, kReasonChars));
    // The other program is closing: its "XX:" follows.
    m_conn.peerClosing = cancel.reason == kClosedProgram;
    if (cancel.who == wire::Stopper::Sender) {
        if (m_receiver.ClientRecv())
            m_receiver.abort(m_conn.peerClosing ? kClosedProgram : "the sender cancelled it" + why);
    } else if (m_sender.busy()) {
        m_sender.stop(m_conn.peerClosing ? kClosedProgram : "the other side cancelled it" + why);
    }
}

bool Session::CancelReceiving() {
    if (!m_channel.tellsStops() || !m_receiver.ClientRecv())
        return false;
    send(wire::cancelMessage(wire::Stopper::Receiver,
                             QStringLiteral("cancelled by the other person")));
    m_receiver.abort(QStringLiteral("you cancelled it"));
    return true;
}

bool Session::usableOfferedAddress(const QByteArray& raw, const QString& own) {
    if (raw.isEmpty() || raw.size() > SecureChannel::MaxAddressLength)
        return false;
    // What an address box holds: a host name, or an IPv4 or IPv6 address
    // (with its zone and brackets). No blank, no control, no path.
    for (const char ch : raw) {
        const bool alnum =
            (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
        if (!alnum && !QByteArray(".-:_%[]").contains(ch))
            return false;
    }
    return bool(seedText(QString::fromLatin1(raw), own));
}

void Session::adoptHostAddress(const QByteArray& raw) {
    const QString text = TextCodec::fromWire(raw);
    if (!IsClient() || text.isEmpty() || text == m_view.peerAddressText())
        return;
    // The text is not authenticated: a relay may have put anything there.
    if (!usableOfferedAddress(raw, ownAddress())) {
        m_view.UpdateList(
            QStringLiteral("The other side names itself %1, which is not an "
                           "address; the keys stay those of %2.")
                .arg(PeerText::isolated(text, kQuotedChars), m_view.peerAddressText()));
        return;
    }
    // The host makes its keys from its own text; taking it here makes both
    // sides' keys agree when an address translation lies between them.
    m_view.setPeerAddressText(text);
    m_view.UpdateList(
        QStringLiteral("The other side's address is %1 as it sees it; the keys were made again.")
            .arg(text));
    if (GenerateKeys())
        noteForLegacy("Key check: " + m_keyCheck);
}

void Session::onChannelModeChanged() {
    using Mode = Channel::Mode;
    const Mode mode = m_channel.mode();
    m_receiver.setTellsSender(m_channel.tellsStops());
    // The key check and the address warning matter only to a legacy
    // connection; a secure one has its own code to compare.
    const QStringList notes = std::exchange(m_legacyNotes, {});
    const QStringList unsent = std::exchange(m_undecidedChat, {});
    if (mode == Mode::Legacy && !(m_secureRequired && IsConnected()))
        for (const QString& line : notes)
            m_view.UpdateList(line);
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
    if (mode == Mode::Legacy && m_secureRequired && IsConnected()) {
        m_view.UpdateList(m_channel.secureEnabled()
                              ? QStringLiteral("The connection was closed: secure connections are "
                                               "required, and the other side does not offer one.")
                              : QStringLiteral("The connection was closed: secure connections are "
                                               "required but switched off (Options)."));
        endConnection(QStringLiteral("secure connections are required"));
        if (!unsent.isEmpty()) {
            // The channel dropped them unsent: they go back to be sent again.
            m_view.returnUnsentChat(unsent);
            m_view.UpdateList(unsent.size() == 1
                                  ? QStringLiteral("1 chat line was not sent; it is back in the "
                                                   "chat box.")
                                  : QStringLiteral("%1 chat lines were not sent; they are back in "
                                                   "the chat box.")
                                        .arg(unsent.size()));
        }
    }
}

void Session::onChannelFailed(Channel::Failure why) {
    // No "XX:": the other side sees the connection lost.
    endConnection(why == Channel::Failure::Damaged
                      ? QStringLiteral("the connection was damaged")
                      : QStringLiteral("the secure connection could not be set up"));
}

void Session::Disconnect() {
    if (m_phase == Phase::Idle || m_phase == Phase::Closed)
        return;
    if (IsConnected())
        send(wire::message(wire::Kind::End));
    endConnection(QStringLiteral("the connection was ended"));
    m_view.UpdateList("Disconnected.");
}
