#include "protocol/FileTransfer.h"

#include "engine/SDK.h"
#include "platform/TextCodec.h"
#include "protocol/PeerText.h"
#include "protocol/SessionView.h"
#include "protocol/Wire.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>

namespace {

// Longest file name (in bytes) that common file systems take.
constexpr int kMaxNameBytes = 255;
// Of an announced name only this many bytes are looked at: far more than any
// file system takes, and a bound on the work a hostile name can cause.
constexpr int kMaxAnnouncedBytes = 4096;

// The bytes of `raw` up to kMaxAnnouncedBytes, cut before a UTF-8 sequence
// that would not fit whole.
QByteArray announcedPart(const QByteArray& raw) {
    if (raw.size() <= kMaxAnnouncedBytes)
        return raw;
    qsizetype cut = kMaxAnnouncedBytes;
    for (int back = 0; back < 3 && (uchar(raw[cut]) & 0xC0) == 0x80; ++back)
        --cut;
    return raw.left(cut);
}

// The longest start of `text` whose UTF-8 form takes at most `bytes` bytes;
// a character is never cut in two.
QString leftUtf8(const QString& text, qsizetype bytes) {
    qsizetype used = 0;
    qsizetype keep = 0;
    while (keep < text.size()) {
        const bool pair = text[keep].isHighSurrogate() && keep + 1 < text.size() &&
                          text[keep + 1].isLowSurrogate();
        const char32_t c = text[keep].unicode();
        const int len = pair ? 4 : c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
        if (used + len > bytes)
            break;
        used += len;
        keep += pair ? 2 : 1;
    }
    return text.left(keep);
}

// Why a write or save on `file` failed. A write the system took only in part
// leaves the file's own reason empty ("Unknown error"), while errno, taken
// right after the call, still holds the system's reason ("No space left on
// device").
QString failureReason(const QFileDevice& file, int err) {
    if (err != 0 && err != EINTR && err != EAGAIN)
        return QString::fromLocal8Bit(std::strerror(err));
    if (file.error() != QFileDevice::NoError && !file.errorString().isEmpty())
        return file.errorString();
    return QStringLiteral("the disk took only part of the data");
}

} // namespace

namespace {

// Runs one of the engine's in-place transforms over a copy of `bytes`.
Outcome<QByteArray> transformed(const QByteArray& bytes,
                                const std::function<EngineResult(std::string&)>& transform) {
    std::string text(bytes.constData(), size_t(bytes.size()));
    const EngineResult r = transform(text);
    if (!r)
        return Failure{QString::fromStdString(r.error)};
    return QByteArray(text.data(), qsizetype(text.size()));
}

} // namespace

Outcome<QByteArray> encrypted(SDK& engine, const QByteArray& plain) {
    return transformed(plain, [&](std::string& t) { return engine.EncryptMessage(t); });
}

Outcome<QByteArray> decrypted(SDK& engine, const QByteArray& cipher) {
    return transformed(cipher, [&](std::string& t) { return engine.DecryptMessage(t); });
}

QString rateText(double rate) {
    const QLocale en(QLocale::English);
    if (rate >= 1024.0 * 1024.0)
        return en.toString(rate / (1024.0 * 1024.0), 'f', 1) + " MB/s";
    return en.toString(rate / 1024.0, 'f', 1) + " KB/s";
}

QString transferSummary(qint64 bytes, qint64 elapsedMs) {
    const QLocale en(QLocale::English);
    const double secs = qMax<qint64>(elapsedMs, 1) / 1000.0;
    return QStringLiteral("%1 bytes in %2 s (%3)")
        .arg(en.toString(bytes), en.toString(elapsedMs / 1000.0, 'f', 2), rateText(bytes / secs));
}

// ---------------------------------------------------------------- sender

QString FileSender::baseName(const QString& path) {
    const qsizetype cut = qMax(path.lastIndexOf('/'), path.lastIndexOf('\\'));
    return path.mid(cut + 1);
}

FileSender::FileSender(TransferContext context) : m_ctx(std::move(context)) {
    m_answerTimer.setSingleShot(true);
    QObject::connect(&m_answerTimer, &QTimer::timeout,
                     [this] { abort(QStringLiteral("the other side stopped answering")); });
}

Outcome<> FileSender::open(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists())
        return Failure{QStringLiteral("The file %1 does not exist.").arg(path)};
    if (info.isDir())
        return Failure{QStringLiteral("%1 is a folder, not a file.").arg(path)};
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadOnly))
        return Failure{
            QStringLiteral("The file %1 cannot be read: %2").arg(path, m_file.errorString())};
    m_path = path;
    m_size = m_file.size();
    m_ready.clear();
    m_readyRecord = 0;
    m_nb = qint32(m_size / wire::kBlockSize);
    m_rm = qint32(m_size - qint64(m_nb) * wire::kBlockSize);
    m_currentBlock = 0;
    m_finalSent = false;
    m_nextRecord = 1;
    m_answered = 0;
    m_outstanding = 0;
    m_state = State::Opened;
    return {};
}

bool FileSender::announce() {
    if (m_state != State::Opened)
        return false;
    if (!m_ctx.send(wire::message(wire::Kind::FileName, TextCodec::toWire(baseName(m_path))))) {
        abort(QStringLiteral("the connection refused the file announcement"));
        return false;
    }
    m_state = State::Announced;
    m_ctx.view.UpdateList("Sending " + m_path + "...");
    return true;
}

bool FileSender::makeMessage(qint64 record, QByteArray& message) {
    const bool full = record <= m_nb;
    const qint64 bytes = full ? wire::kBlockSize : m_rm;
    QByteArray block;
    if (bytes > 0) {
        if (!m_file.seek((record - 1) * wire::kBlockSize)) {
            abort(QStringLiteral("cannot read %1: %2").arg(m_path, m_file.errorString()));
            return false;
        }
        block = m_file.read(bytes);
        if (block.size() < bytes && full) {
            // A file that shrank while being sent: the block is filled out
            // with spaces, as a fixed-length record is.
            block.append(QByteArray(bytes - block.size(), ' '));
        }
        Outcome<QByteArray> cipher = encrypted(m_ctx.engine, block);
        if (!cipher) {
            abort(cipher.error());
            return false;
        }
        block = std::move(cipher).value();
    }
    message = wire::message(full ? wire::Kind::Block : wire::Kind::FinalBlock, block);
    return true;
}

bool FileSender::sendRecord(qint64 record) {
    QByteArray message;
    if (m_readyRecord == record)
        message.swap(m_ready);
    else if (!makeMessage(record, message))
        return false;
    m_readyRecord = 0;
    if (!m_ctx.send(message)) {
        abort(QStringLiteral("the connection refused a block"));
        return false;
    }
    return true;
}

void FileSender::prepare(qint64 record) {
    // The next message is made while this one is on its way, so that the
    // acknowledgement finds it ready.
    if (record <= messageCount() && m_readyRecord != record && makeMessage(record, m_ready))
        m_readyRecord = record;
}

void FileSender::pump() {
    while (m_state == State::Sending && m_outstanding < m_window &&
           m_nextRecord <= messageCount()) {
        // A receiver that answers without reading would otherwise have us
        // pile up block after block in memory.
        if (m_ctx.backlog() > kMaxBacklog)
            return;
        if (!sendRecord(m_nextRecord) || m_state != State::Sending)
            return; // stopped, or cancelled by whoever watched it go
        ++m_nextRecord;
        ++m_outstanding;
        armAnswerTimer();
    }
    if (m_state == State::Sending)
        prepare(m_nextRecord);
}

void FileSender::armAnswerTimer() {
    if (!m_framed)
        m_answerTimer.start(m_answerTimeoutMs);
}

void FileSender::setProgress() {
    int p = 100;
    if (m_nb != 0)
        p = int(std::floor(double(m_currentBlock) / double(m_nb) * 100.0));
    m_ctx.view.setProgressValue(qMin(p, 100));
}

bool FileSender::start() {
    if (m_state != State::Announced || !m_file.isOpen())
        return false;
    m_clock.start();
    m_currentBlock = 1;
    m_state = State::Sending;
    m_finalSent = m_nb == 0;
    armAnswerTimer();
    pump();
    if (m_state != State::Sending)
        return false;
    if (m_nb != 0)
        setProgress();
    m_ctx.view.setProgressVisible(true);
    return true;
}

void FileSender::acknowledge() {
    if (m_stale > 0) {
        --m_stale; // the answer to a block of a cancelled file
        return;
    }
    if (m_state != State::Sending || m_outstanding == 0)
        return; // not an answer to anything of ours
    --m_outstanding;
    ++m_answered;
    armAnswerTimer();
    if (m_answered <= m_nb || m_nb == 0) {
        m_currentBlock = qint32(m_answered + 1);
        setProgress();
    }
    if (m_answered == messageCount()) {
        finish();
        return;
    }
    pump();
}

void FileSender::bufferDrained() {
    if (m_state != State::Sending)
        return;
    // Held back for room, not waiting for an answer: bytes leaving the
    // buffer are the peer taking them.
    if (m_outstanding < m_window && m_nextRecord <= messageCount())
        armAnswerTimer();
    pump();
}

void FileSender::goIdle() {
    m_answerTimer.stop();
    m_file.close();
    m_ready.clear();
    m_readyRecord = 0;
    m_outstanding = 0;
    m_state = State::Idle;
    m_ctx.view.setProgressVisible(false);
}

void FileSender::finish() {
    goIdle();
    m_ctx.view.UpdateList("File Transferred.");
    m_ctx.view.UpdateList(transferSummary(m_size, m_clock.elapsed()));
    if (m_onIdle)
        m_onIdle(true);
}

void FileSender::abort(const QString& why) {
    if (m_state == State::Idle)
        return;
    goIdle();
    m_ctx.view.UpdateList("Sending stopped: " + why + ".");
    if (m_onIdle)
        m_onIdle(false);
}

void FileSender::cancel() {
    if (m_state == State::Idle)
        return;
    m_stale = m_framed ? m_outstanding : 0;
    goIdle();
    m_ctx.view.UpdateList(QStringLiteral("Sending cancelled."));
    if (m_onIdle)
        m_onIdle(false);
}

void FileSender::stop(const QString& why) {
    m_stale = 0;
    abort(why);
}

// -------------------------------------------------------------- receiver

FileReceiver::FileReceiver(TransferContext context, QString recvFolder)
    : m_ctx(std::move(context)), m_recv(std::move(recvFolder)) {
    m_progressTimer.setInterval(kProgressIntervalMs);
    QObject::connect(&m_progressTimer, &QTimer::timeout, [this] { showProgress(); });
    m_silenceTimer.setSingleShot(true);
    QObject::connect(&m_silenceTimer, &QTimer::timeout,
                     [this] { abort(QStringLiteral("the other side stopped sending")); });
}

FileReceiver::~FileReceiver() {
    if (m_file)
        m_file->cancelWriting();
}

QString FileReceiver::safeFileName(const QByteArray& raw) {
    QString name = TextCodec::fromWire(announcedPart(raw));
    const qsizetype cut = qMax(name.lastIndexOf('/'), name.lastIndexOf('\\'));
    name = name.mid(cut + 1);
    for (QChar& c : name) {
        // Controls, and the invisible format characters (bidirectional
        // overrides among them) that could make a name read as another.
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c.category() == QChar::Other_Control ||
            c.category() == QChar::Other_Format)
            c = '_';
    }
    if (name.toUtf8().size() > kMaxNameBytes) {
        // Keep a short extension, shorten the rest.
        const qsizetype dot = name.lastIndexOf('.');
        QString ext = (dot > 0 && name.size() - dot <= 16) ? name.mid(dot) : QString();
        const QString stem = name.left(name.size() - ext.size());
        name = leftUtf8(stem, kMaxNameBytes - 12 - ext.toUtf8().size()) + ext;
    }
    // Checked on the name as it will be: shortening may leave only blanks.
    if (name.trimmed().isEmpty() || name == "." || name == "..")
        name = QStringLiteral("received file");
    return name;
}

QString FileReceiver::pathIn(const QString& folder, const QString& name) {
    return folder.endsWith('/') ? folder + name : folder + QLatin1Char('/') + name;
}

QString FileReceiver::freeFileName(const QString& folder, const QString& name) {
    const auto taken = [&folder](const QString& candidate) {
        const QString path = pathIn(folder, candidate);
        return QFileInfo::exists(path) || QFileInfo(path).isSymLink();
    };
    if (!taken(name))
        return name;
    const qsizetype dot = name.lastIndexOf('.');
    const QString stem = dot > 0 ? name.left(dot) : name;
    const QString ext = dot > 0 ? name.mid(dot) : QString();
    for (int n = 2;; ++n) {
        const QString candidate = QStringLiteral("%1 (%2)%3").arg(stem).arg(n).arg(ext);
        if (!taken(candidate))
            return candidate;
    }
}

bool FileReceiver::isInside(const QString& folder, const QString& path) {
    const QString root = QFileInfo(folder).canonicalFilePath();
    if (root.isEmpty())
        return false;
    const QFileInfo info(path);
    // The entry itself may not exist yet; its folder must be the receive
    // folder, compared as resolved paths.
    return QFileInfo(info.absolutePath()).canonicalFilePath() == root && info.fileName() != "." &&
           info.fileName() != ".." && !info.fileName().isEmpty();
}

void FileReceiver::begin(const QByteArray& rawName) {
    if (m_receiving) {
        m_ctx.view.UpdateList("A second file was announced while one is being received; "
                              "it was refused.");
        return;
    }
    // The folder may not exist yet: an installed program makes it when the
    // first file arrives.
    if (!QDir().mkpath(m_recv)) {
        m_ctx.view.UpdateList(QStringLiteral("A file could not be received: the folder %1 "
                                             "cannot be made.")
                                  .arg(QDir::toNativeSeparators(m_recv)));
        return;
    }
    const QString name = freeFileName(m_recv, safeFileName(rawName));
    const QString path = pathIn(m_recv, name);
    if (!isInside(m_recv, path)) {
        m_ctx.view.UpdateList("A file could not be received: its name is not usable.");
        refuse(QStringLiteral("its name is not usable"));
        return;
    }
    auto file = std::make_unique<QSaveFile>(path);
    file->setDirectWriteFallback(false);
    if (!file->open(QIODevice::WriteOnly)) {
        m_ctx.view.UpdateList(QStringLiteral("A file could not be received: %1 cannot be "
                                             "created (%2).")
                                  .arg(name, file->errorString()));
        refuse(file->errorString());
        return;
    }
    m_file = std::move(file);
    m_bytes = 0;
    m_clock.invalidate();
    m_samples.clear();
    m_fileName = name;
    m_ctx.view.UpdateList("Receiving File " + PeerText::isolated(name, 0));
    m_blockCount = 0;
    m_receiving = true;
    m_percent = -1;
    showProgress();
    m_progressTimer.start();
    m_silenceTimer.start(m_silenceTimeoutMs);
}

void FileReceiver::tellSender(const QString& reason) {
    if (m_tellsSender)
        m_ctx.send(wire::cancelMessage(wire::Stopper::Receiver, reason));
}

void FileReceiver::refuse(const QString& reason) {
    m_expected = -1;
    tellSender(reason);
}

void FileReceiver::giveUp(const QString& why, const QString& reason) {
    fail(why);
    tellSender(reason);
}

// "950 bytes", "315.4 KB", "12.0 MB", "1.25 GB"
QString sizeText(qint64 bytes) {
    const QLocale en(QLocale::English);
    if (bytes < 1024)
        return QStringLiteral("%1 bytes").arg(bytes);
    if (bytes < 1024 * 1024)
        return en.toString(bytes / 1024.0, 'f', 1) + " KB";
    if (bytes < 1024LL * 1024 * 1024)
        return en.toString(bytes / (1024.0 * 1024.0), 'f', 1) + " MB";
    return en.toString(bytes / (1024.0 * 1024.0 * 1024.0), 'f', 2) + " GB";
}

int FileReceiver::percent() const {
    if (m_expected < 0)
        return -1;
    if (m_expected == 0)
        return 100;
    return int(qMin<qint64>(m_bytes * 100 / m_expected, 100));
}

void FileReceiver::showProgress() {
    // With the size announced ("FS:"): the share of it that has arrived.
    m_percent = percent();
    if (m_percent >= 0) {
        m_ctx.view.setReceiveStatus(
            QStringLiteral("Receiving: %1 % of %2").arg(m_percent).arg(sizeText(m_expected)));
        return;
    }
    // Else how much so far, and how fast over the last second or so.
    QString text = "Receiving: " + sizeText(m_bytes);
    if (m_clock.isValid()) {
        m_samples.append({m_clock.elapsed(), m_bytes});
        while (m_samples.size() > 5)
            m_samples.removeFirst();
        const qint64 ms = m_samples.last().first - m_samples.first().first;
        if (ms > 0)
            text += " at " + rateText((m_samples.last().second - m_samples.first().second) *
                                      1000.0 / double(ms));
    }
    m_ctx.view.setReceiveStatus(text);
}

void FileReceiver::stopped() {
    m_receiving = false;
    m_expected = -1;
    m_percent = -1;
    m_progressTimer.stop();
    m_silenceTimer.stop();
    m_ctx.view.setReceiveStatus(QString());
    if (m_onIdle)
        m_onIdle();
}

void FileReceiver::fail(const QString& why) {
    if (m_file) {
        m_file->cancelWriting();
        m_file.reset();
    }
    stopped();
    m_ctx.view.UpdateList("File not received: " + why + ". Nothing was saved under " +
                          PeerText::isolated(m_fileName, 0) + ".");
}

void FileReceiver::abort(const QString& why) {
    if (m_receiving)
        fail(why);
}

void FileReceiver::block(const QByteArray& message) {
    if (!m_receiving || !m_file)
        return; // no reception open: nowhere to put it
    if (!m_clock.isValid()) {
        m_clock.start();
        m_samples.append({0, 0});
    }
    m_silenceTimer.start(m_silenceTimeoutMs);
    const bool final = wire::kindOf(message) == wire::Kind::FinalBlock;
    // A full block is answered as soon as its message is complete, so that
    // the next one is on its way while this one is stored; should storing it
    // fail, the reception ends here and the sender stops for want of answers.
    if (!final)
        m_ctx.send(wire::message(wire::Kind::Ack));
    QByteArray data = wire::payloadOf(message);
    if (!data.isEmpty()) {
        Outcome<QByteArray> plain = decrypted(m_ctx.engine, data);
        if (!plain) {
            giveUp(plain.error(), QStringLiteral("a block could not be decrypted"));
            return;
        }
        data = std::move(plain).value();
    }
    if (!final) {
        // A full block is a fixed-length record of one block's size.
        data = data.leftJustified(wire::kBlockSize, ' ', true);
        ++m_blockCount;
    }
    errno = 0;
    if (!data.isEmpty() && m_file->write(data) != data.size()) {
        const QString reason = failureReason(*m_file, errno);
        giveUp(QStringLiteral("writing %1 failed (%2)").arg(m_fileName, reason), reason);
        return;
    }
    m_bytes += data.size();
    if (m_expected >= 0 && percent() != m_percent)
        showProgress(); // each step of the percentage, not only on the timer
    if (!final)
        return;
    errno = 0;
    if (!m_file->commit()) {
        const QString reason = failureReason(*m_file, errno);
        m_file.reset();
        stopped();
        m_ctx.view.UpdateList(
            QStringLiteral("File not received: saving %1 failed (%2). Nothing was saved under %1.")
                .arg(PeerText::isolated(m_fileName, 0), reason));
        tellSender(reason);
        return;
    }
    m_file.reset();
    const qint64 elapsed = m_clock.elapsed();
    const QString stored = pathIn(m_recv, m_fileName);
    stopped();
    m_ctx.view.UpdateList("File Received.");
    m_ctx.view.UpdateList("Saved as " + PeerText::isolated(QDir::toNativeSeparators(stored), 0));
    m_ctx.view.UpdateList(transferSummary(m_bytes, elapsed));
    // Only now: the sender's "File Transferred." means the file is there.
    m_ctx.send(wire::message(wire::Kind::Ack));
    m_ctx.view.fileArrived(stored);
}
