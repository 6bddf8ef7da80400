// The sender and the receiver through their TransferContext alone: what one
// sends, the test hands to the other (or does not), so every turn of a
// transfer can be taken in any order, without a connection.
#include "PeerFixture.h"

#include "protocol/FileTransfer.h"

namespace {

struct Ends : PeerKeys {
    TestView view;
    QTemporaryDir files;
    QList<QByteArray> fromSender, fromReceiver;
    FileSender sender{TransferContext{engine, view, [this](const QByteArray& m) {
                                          fromSender << m;
                                          return true;
                                      }}};
    FileReceiver receiver{TransferContext{engine, view,
                                          [this](const QByteArray& m) {
                                              fromReceiver << m;
                                              return true;
                                          }},
                          recv()};

    Ends() : PeerKeys(kHostText, kClientText) { QDir(files.path()).mkdir("Recv"); }
    QString recv() const { return files.filePath("Recv"); }
    QString file(const QString& name, int size) {
        const QString path = files.filePath(name);
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(randomBytes(size, quint32(size)));
        return path;
    }
    // Opens, announces and starts `path` as a framed connection sends it.
    bool send(const QString& path, int window) {
        if (!sender.open(path))
            return false;
        sender.setWindow(window);
        sender.setFramed(true);
        return sender.announce() && sender.start();
    }
    // Everything in the receive folder, hidden files included.
    QStringList received() const {
        return QDir(recv()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    }
};

} // namespace

class TstIntegrationTransferEnds : public QObject {
    Q_OBJECT
private slots:
    // The answers still due for a cancelled file are counted off; they are
    // not taken for the next file's.
    void answersOfACancelledFileAreNotTheNextFiles() {
        Ends e;
        QVERIFY(e.send(e.file("a.bin", 10'500), 4));
        QCOMPARE(e.sender.outstanding(), 4);
        e.sender.cancel();
        QVERIFY(e.send(e.file("b.bin", 2'500), 4));
        QCOMPARE(e.sender.outstanding(), 3); // two full blocks and the rest
        for (int i = 0; i < 4; ++i)
            e.sender.acknowledge(); // a.bin's, late
        QCOMPARE(e.sender.outstanding(), 3);
        QVERIFY(e.sender.busy());
        QVERIFY(!e.view.status.contains("File Transferred."));
        for (int i = 0; i < 3; ++i)
            e.sender.acknowledge();
        QVERIFY(!e.sender.busy());
        QCOMPARE(e.view.status.count("File Transferred."), 1);
    }

    // However a reception ends before its final block, nothing is left in
    // the receive folder, and the sender is told only where it can be.
    void receptionEndingEarlyLeavesNoFile_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("tellsSender");
        QTest::addColumn<QString>("line");
        for (const bool tells : {false, true}) {
            const char* mode = tells ? "secure" : "legacy";
            QTest::addRow("connection ends, %s", mode)
                << "abort" << tells << "File not received: the connection was lost";
            QTest::addRow("sender goes silent, %s", mode)
                << "silence" << tells << "File not received: the other side stopped sending";
            QTest::addRow("device full, %s", mode)
                << "full" << tells << "File not received: writing c.bin failed";
            QTest::addRow("keys gone, %s", mode) << "keys gone" << tells << "File not received: ";
        }
    }
    void receptionEndingEarlyLeavesNoFile() {
        QFETCH(QString, how);
        QFETCH(bool, tellsSender);
        QFETCH(QString, line);
        Ends e;
        e.receiver.setTellsSender(tellsSender);
        e.receiver.setSilenceTimeout(200);
        QVERIFY(e.send(e.file("c.bin", 70'500), 100)); // every block message at once
        const QList<QByteArray> messages = e.fromSender;
        e.receiver.begin(messages[0].mid(3));
        {
            // All but the final block, while they are taken; the device
            // takes only a few of them.
            const FileSizeLimit full(how == "full" ? 8 * 1024 : 1024 * 1024);
            for (qsizetype i = 1; i < messages.size() - 1 && e.receiver.ClientRecv(); ++i) {
                if (how == "keys gone" && i == 2) // the next block cannot be decrypted
                    for (const QString& f : QDir(e.dir.path()).entryList(QDir::Files))
                        QFile::remove(e.dir.filePath(f));
                e.receiver.block(messages[i].chopped(1));
            }
        }
        if (how == "abort")
            e.receiver.abort(QStringLiteral("the connection was lost"));
        QVERIFY(waitFor([&] { return !e.receiver.ClientRecv(); }, 5000));
        const QString last = e.view.status.last();
        QVERIFY2(last.startsWith(line) && last.endsWith("Nothing was saved under c.bin."),
                 qPrintable(last));
        QCOMPARE(e.received(), QStringList());
        // Only a connection that carries it tells the sender; a lost one
        // cannot.
        const bool told = std::any_of(e.fromReceiver.begin(), e.fromReceiver.end(),
                                      [](const QByteArray& m) { return m.startsWith("FC:R"); });
        QCOMPARE(told, tellsSender && (how == "full" || how == "keys gone"));
    }
};

QTEST_GUILESS_MAIN(TstIntegrationTransferEnds)
#include "tst_integration_transfer_ends.moc"
