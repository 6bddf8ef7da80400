#pragma once

#include "protocol/Outcome.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QSaveFile>
#include <QString>
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
};

// `plain` encrypted with the connection's keys, or the engine's reason why not.
Outcome<QByteArray> encrypted(SDK& engine, const QByteArray& plain);
// `cipher` decrypted with the connection's keys, or the engine's reason why not.
Outcome<QByteArray> decrypted(SDK& engine, const QByteArray& cipher);

// "2,500 bytes in 0.31 s (7.9 KB/s)"
QString transferSummary(qint64 bytes, qint64 elapsedMs);

// The sending end: a file goes as "FL:" + name, then one encrypted block per
// "OK:" from the receiver ("FB:" + 1000 bytes + "|"), and last "FB:RM:" + the
// rest + "|". The file is read block by block, never held whole.
class FileSender {
public:
    explicit FileSender(TransferContext context) : m_ctx(std::move(context)) {}

    // Opens `path` for reading. Fails, with a reason, when it names no file
    // or cannot be read; nothing is sent then.
    Outcome<> open(const QString& path);
    // The announcement "FL:" + base name; the caller waits before start().
    bool announce();
    // Sends the first block message and shows the progress bar.
    bool start();
    // One "OK:" from the receiver.
    void acknowledge();
    // Stops a running transfer (connection gone): file closed, bar hidden,
    // status line with `why`.
    void abort(const QString& why);

    // A file is open for sending (from open() until finished or stopped).
    bool busy() const { return m_file.isOpen(); }
    // The block messages are going out (from start() until finished or
    // stopped).
    bool FileInProgress() const { return m_inProgress; }
    // The block being sent, counted from 1.
    qint32 CurrentBlock() const { return m_currentBlock; }
    // The file's full blocks and the bytes left over for the final block.
    qint32 nb() const { return m_nb; }
    qint32 rm() const { return m_rm; }
    // The final block went out first (a file under one block), so none
    // follows the acknowledgement.
    bool FBRMSent() const { return m_finalSent; }

    // The base name: what follows the last "/" or "\" of the path.
    static QString baseName(const QString& path);

private:
    // The block message for `record`: a full block while record <= nb, else
    // the final one.
    bool makeMessage(qint64 record, QByteArray& message);
    bool sendRecord(qint64 record);
    void prepare(qint64 record);
    void setProgress();
    void finish();

    TransferContext m_ctx;
    QFile m_file;
    QString m_path;
    qint64 m_size = 0;
    QElapsedTimer m_clock;
    qint32 m_currentBlock = 0;
    qint32 m_nb = 0;
    qint32 m_rm = 0;
    bool m_inProgress = false;
    bool m_finalSent = false;
    // The next block message, made ahead of its acknowledgement.
    QByteArray m_ready;
    qint64 m_readyRecord = 0;
};

// The receiving end: "FL:" opens a file in the receive folder under a safe,
// free name; each block is decrypted, written and answered with "OK:"; the
// file gets its final name only when its last block is written.
class FileReceiver {
public:
    FileReceiver(TransferContext context, QString recvFolder)
        : m_ctx(std::move(context)), m_recv(std::move(recvFolder)) {}
    ~FileReceiver();

    // "FL:" with the sender's name (raw bytes).
    void begin(const QByteArray& rawName);
    // A block message after reassembly, without its final "|".
    void block(const QByteArray& message);
    // Ends a running reception early: nothing is left under the final name.
    void abort(const QString& why);

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
    // `name` itself when no such file exists in `folder`, else "name (2).ext",
    // "name (3).ext", ...
    static QString freeFileName(const QString& folder, const QString& name);
    // True when `path` resolves to an entry directly inside `folder`.
    static bool isInside(const QString& folder, const QString& path);

private:
    void fail(const QString& why);

    TransferContext m_ctx;
    QString m_recv;
    std::unique_ptr<QSaveFile> m_file;
    qint64 m_bytes = 0;
    QElapsedTimer m_clock;
    bool m_receiving = false;
    qint32 m_blockCount = 0;
    QString m_fileName;
};
