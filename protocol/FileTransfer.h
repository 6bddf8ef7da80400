#pragma once

#include "protocol/Outcome.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QSaveFile>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>

class SDK;
class SessionView;

// What both ends of a transfer need from the session.
struct TransferContext {
    SDK& engine;
    SessionView& view;
    // Sends one whole message; false when the connection refuses it.
    std::function<bool(const QByteArray&)> send;
    // Bytes queued on the connection and not yet handed to the network.
    std::function<qint64()> backlog = [] { return qint64(0); };
};

// `plain` encrypted with the connection's keys, or the engine's reason why not.
Outcome<QByteArray> encrypted(SDK& engine, const QByteArray& plain);
// `cipher` decrypted with the connection's keys, or the engine's reason why not.
Outcome<QByteArray> decrypted(SDK& engine, const QByteArray& cipher);

// "2,500 bytes in 0.31 s (7.9 KB/s)"
QString transferSummary(qint64 bytes, qint64 elapsedMs);
// "7.9 KB/s", "2.3 MB/s"
QString rateText(double bytesPerSecond);
// "950 bytes", "315.4 KB", "12.0 MB", "1.25 GB"
QString sizeText(qint64 bytes);

// The sending end: a file goes as "FL:" + name, then encrypted block messages
// ("FB:" + 1000 bytes + "|"), at most window() of them waiting for their
// "OK:" at once (each "OK:" answers the oldest), and last "FB:RM:" + the
// rest + "|". The transfer is done when every block message, the final one
// included, has been answered. The file is read block by block, never held
// whole.
class FileSender {
public:
    // How long the sender waits for an answer ("OK:") or for room in the
    // send buffer before it gives up.
    static constexpr int kDefaultAnswerTimeoutMs = 30000;
    // No new block message while more than this waits in the send buffer.
    static constexpr qint64 kMaxBacklog = 1024 * 1024;

    explicit FileSender(TransferContext context);

    // Opens `path` for reading. Fails, with a reason, when it names no file
    // or cannot be read; nothing is sent then.
    Outcome<> open(const QString& path);
    // The announcement "FL:" + base name. On a legacy connection the caller
    // waits a moment before start(), so that the two arrive apart.
    bool announce();
    // Sends the first block message(s) and shows the progress bar.
    bool start();
    // One "OK:" from the receiver. An "OK:" while no block message of ours
    // is waiting for one is ignored.
    void acknowledge();
    // The send buffer has drained a little: block messages held back for
    // lack of room may go now.
    void bufferDrained();
    // Stops a running transfer (connection gone): file closed, bar hidden,
    // status line with `why`.
    void abort(const QString& why);
    // The user stops the transfer: nothing more is sent. Inside a framed
    // connection the receiver still answers the block messages already on
    // their way; those "OK:"s are not taken for a next file's.
    void cancel();
    // Stops the transfer when no answer is due any more: the receiver gave
    // up ("FC:R") or the connection ended.
    void stop(const QString& why);

    // How many block messages may wait for their "OK:" at once (at least 1):
    // 1 for a peer that reads the wire literally, the peer's window inside a
    // framed connection. Set before start().
    void setWindow(int blocks) { m_window = qMax(blocks, 1); }
    int window() const { return m_window; }
    // Inside a framed connection a stalled receiver says so ("FC:R") and the
    // link notices a dead one: no answer timeout, and a cancelled file's
    // answers still on their way are counted off. Set before start().
    void setFramed(bool framed) { m_framed = framed; }
    // How long to wait for an answer before giving up (for tests).
    void setAnswerTimeout(int ms) { m_answerTimeoutMs = ms; }
    // Runs whenever the sender becomes idle again: with true when the file
    // has gone, with false when it stopped or was cancelled.
    void setIdleHandler(std::function<void(bool completed)> handler) {
        m_onIdle = std::move(handler);
    }

    // A transfer is under way: from open() until every block message has
    // been answered, or the transfer has stopped.
    bool busy() const { return m_state != State::Idle; }
    // The block messages are going out (from start() until finished or
    // stopped).
    bool FileInProgress() const { return m_state == State::Sending; }
    // The size of the open file.
    qint64 size() const { return m_size; }
    // The block being sent, counted from 1.
    qint32 CurrentBlock() const { return m_currentBlock; }
    // The file's full blocks and the bytes left over for the final block.
    qint32 nb() const { return m_nb; }
    qint32 rm() const { return m_rm; }
    // The final block went out first (a file under one block), so none
    // follows the acknowledgement.
    bool FBRMSent() const { return m_finalSent; }
    // Block messages sent and not yet answered.
    int outstanding() const { return m_outstanding; }

    // The base name: what follows the last "/" or "\" of the path.
    static QString baseName(const QString& path);

private:
    enum class State { Idle, Opened, Announced, Sending };

    // The block message for `record`: a full block while record <= nb, else
    // the final one.
    bool makeMessage(qint64 record, QByteArray& message);
    bool sendRecord(qint64 record);
    void prepare(qint64 record);
    // Sends block messages while the window and the send buffer allow.
    void pump();
    void setProgress();
    // The wait for an answer starts again (not inside a framed connection).
    void armAnswerTimer();
    void finish();
    // Back to idle: file closed, timer stopped, bar hidden.
    void goIdle();
    qint64 messageCount() const { return qint64(m_nb) + 1; }

    TransferContext m_ctx;
    QFile m_file;
    QString m_path;
    qint64 m_size = 0;
    QElapsedTimer m_clock;
    State m_state = State::Idle;
    qint32 m_currentBlock = 0;
    qint32 m_nb = 0;
    qint32 m_rm = 0;
    bool m_finalSent = false;
    // Block messages sent (records 1..m_nextRecord-1) and answered.
    qint64 m_nextRecord = 1;
    qint64 m_answered = 0;
    int m_outstanding = 0;
    int m_window = 1;
    bool m_framed = false;
    qint64 m_stale = 0; // "OK:"s still due for a cancelled file
    int m_answerTimeoutMs = kDefaultAnswerTimeoutMs;
    // Fires when the receiver has not answered for m_answerTimeoutMs.
    QTimer m_answerTimer;
    std::function<void(bool)> m_onIdle;
    // The next message, made ahead of its acknowledgement.
    QByteArray m_ready;
    qint64 m_readyRecord = 0;
};

// The receiving end: "FL:" opens a file in the receive folder under a safe,
// free name; a full block is answered with "OK:" as soon as its message is
// complete, then decrypted and written; the final block is answered only once
// the file has its final name. While a file arrives the window shows how much
// has come and how fast.
class FileReceiver {
public:
    // A reception that hears nothing from the sender for this long ends.
    static constexpr int kDefaultSilenceTimeoutMs = 2 * FileSender::kDefaultAnswerTimeoutMs;
    // How often the progress line is refreshed.
    static constexpr int kProgressIntervalMs = 250;

    FileReceiver(TransferContext context, QString recvFolder);
    ~FileReceiver();

    // "FL:" with the sender's name (raw bytes).
    void begin(const QByteArray& rawName);
    // A block message after reassembly, without its final "|".
    void block(const QByteArray& message);
    // Ends a running reception early: nothing is left under the final name.
    void abort(const QString& why);
    // "FS:": the size of the file announced next, for the percentage shown.
    void expectSize(qint64 size) { m_expected = size; }
    // When set, a reception this side cannot go on with (a failing write, a
    // block that cannot be decrypted) is given up with "FC:R" + the reason,
    // so that the sender stops.
    void setTellsSender(bool tells) { m_tellsSender = tells; }
    // How long to wait for the sender before giving up (for tests).
    void setSilenceTimeout(int ms) { m_silenceTimeoutMs = ms; }
    // Runs whenever a reception has ended, whichever way.
    void setIdleHandler(std::function<void()> handler) { m_onIdle = std::move(handler); }

    // A reception is running.
    bool ClientRecv() const { return m_receiving; }
    // Full blocks written so far.
    qint32 RecvBlockCount() const { return m_blockCount; }
    // The name the file gets in the receive folder.
    QString RecvFileName() const { return m_fileName; }

    // A name that is safe to create in the receive folder: the last component
    // of `raw` (either separator), control characters replaced, never empty,
    // "." or "..", and short enough for the file system.
    static QString safeFileName(const QByteArray& raw);
    // The path of the entry `name` directly inside `folder`. Unlike
    // QDir::filePath, a name that begins with ':' stays a file in the folder
    // rather than naming a built-in resource.
    static QString pathIn(const QString& folder, const QString& name);
    // `name` itself when no such file exists in `folder`, else "name (2).ext",
    // "name (3).ext", ...
    static QString freeFileName(const QString& folder, const QString& name);
    // True when `path` resolves to an entry directly inside `folder`.
    static bool isInside(const QString& folder, const QString& path);

private:
    void fail(const QString& why);
    // A failure of this side's own: the reception ends and, when it may,
    // the sender is told why with "FC:R".
    void giveUp(const QString& why, const QString& reason);
    // Tells the sender, when it may, that this side gives the file up.
    void tellSender(const QString& reason);
    // An announced file is not taken; the sender is told when it may be.
    void refuse(const QString& reason);
    // The reception is over: timers stopped, progress line hidden.
    void stopped();
    // The share of an announced size that has arrived (0..100); -1 when no
    // size was announced.
    int percent() const;
    void showProgress();

    qint64 m_expected = -1; // from "FS:", -1 when not given
    int m_percent = -1;
    bool m_tellsSender = false;

    TransferContext m_ctx;
    QString m_recv;
    std::unique_ptr<QSaveFile> m_file;
    qint64 m_bytes = 0;
    // Runs from the first block message, not from the announcement: the
    // sender waits a moment between the two.
    QElapsedTimer m_clock;
    QTimer m_progressTimer;
    // Bytes received at the last few refreshes, for the current rate.
    QList<std::pair<qint64, qint64>> m_samples; // (ms since the first block, bytes)
    QTimer m_silenceTimer;
    int m_silenceTimeoutMs = kDefaultSilenceTimeoutMs;
    std::function<void()> m_onIdle;
    bool m_receiving = false;
    qint32 m_blockCount = 0;
    QString m_fileName;
};
