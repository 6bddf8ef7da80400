#include "PeerFixture.h"

#include <QRandomGenerator>
#include <cerrno>
#include <cstring>

namespace {

// Sends `bytes` from `from` to `to` and checks everything both sides show.
void transfer(Peer& from, Peer& to, const QByteArray& bytes, const QString& name) {
    const QString path = writeFile(from, name, bytes);
    const int sentBefore = from.sent.size();
    const int acksBefore = to.sent.size();
    const int fromStatus = from.view.status.size();
    const int toStatus = to.view.status.size();
    from.view.progress.clear();

    from.session->SendFile(path, Session::Confirm::Skip);
    QVERIFY2(waitFor(
                 [&] {
                     return from.view.status.mid(fromStatus).contains("File Transferred.") &&
                            to.view.status.mid(toStatus).contains("File Received.") &&
                            !from.session->sender().FileInProgress();
                 },
                 60000),
             qPrintable(from.view.status.mid(fromStatus).join('|') + " // " +
                        to.view.status.mid(toStatus).join('|')));
    QVERIFY(waitFor([&] { return to.sent.size() > acksBefore + bytes.size() / 1000; }));

    QCOMPARE(readAll(to.recv() + "/" + name), bytes);

    // The exact message sequence: announcement, n full blocks, the rest.
    const int n = bytes.size() / 1000;
    const int r = bytes.size() % 1000;
    const QList<QByteArray> msgs = from.sent.mid(sentBefore);
    QCOMPARE(msgs.size(), n + 2);
    QCOMPARE(msgs[0], "FL:" + name.toUtf8());
    for (int i = 1; i <= n; ++i) {
        QCOMPARE(msgs[i].size(), 1004);
        QVERIFY(msgs[i].startsWith("FB:") && !msgs[i].startsWith("FB:RM:") &&
                msgs[i].endsWith('|'));
        // Encrypted: never the file's own bytes.
        QVERIFY(msgs[i].mid(3, 1000) != bytes.mid((i - 1) * 1000, 1000));
    }
    QCOMPARE(msgs[n + 1].size(), 6 + r + 1);
    QVERIFY(msgs[n + 1].startsWith("FB:RM:") && msgs[n + 1].endsWith('|'));
    // One "OK:" per block message.
    QCOMPARE(to.sent.mid(acksBefore), QList<QByteArray>(n + 1, "OK:"));

    QCOMPARE(from.view.status.mid(fromStatus, 2),
             (QStringList{"Sending " + path + "...", "File Transferred."}));
    QVERIFY(from.view.status.value(fromStatus + 2)
                .contains(QLocale(QLocale::English).toString(bytes.size()) + " bytes in"));
    QCOMPARE(to.view.status.mid(toStatus, 3),
             (QStringList{"Receiving File " + name, "File Received.",
                          "Saved as " + QDir::toNativeSeparators(to.recv() + "/" + name)}));
    QCOMPARE(to.view.status.value(toStatus + 3).section(" in ", 0, 0),
             from.view.status.value(fromStatus + 2).section(" in ", 0, 0));

    // One progress value as the first block goes (none for a file under one
    // block) and one per acknowledgement.
    QCOMPARE(from.view.progress.size(), n == 0 ? 1 : n + 1);
    QCOMPARE(from.view.progress.last(), 100);
    QVERIFY(!from.view.progressVisible);
}

} // namespace

class TstIntegrationFileTransfer : public QObject {
    Q_OBJECT
private slots:
    void everySizeArrivesByteIdenticalBothWays() {
        Peer host, client;
        QVERIFY(connectPeers(host, client, freePort()));
        fastClock(client);
        fastClock(host);
        // The progress bar's values: the share of full blocks sent, in
        // whole percent, never above 100.
        const QList<std::pair<int, QList<int>>> sizes = {
            {0, {100}},         {1, {100}},         {999, {100}},
            {1000, {100, 100}}, {1001, {100, 100}}, {2500, {50, 100, 100}}};
        int seed = 1;
        for (const auto& [size, progress] : sizes) {
            transfer(client, host, randomBytes(size, seed++), QStringLiteral("c%1.bin").arg(size));
            if (QTest::currentTestFailed())
                return;
            QCOMPARE(client.view.progress, progress);
            transfer(host, client, randomBytes(size, seed++), QStringLiteral("h%1.bin").arg(size));
            if (QTest::currentTestFailed())
                return;
            QCOMPARE(host.view.progress, progress);
        }
    }

    void severalMegabytesWithTheRealPause() {
        Peer host, client;
        QVERIFY(connectPeers(host, client, freePort()));
        // 3,145,745 bytes: 3145 full blocks and the rest.
        transfer(client, host, randomBytes(3 * 1024 * 1024 + 17, 42), "big.bin");
        if (QTest::currentTestFailed())
            return;
        const QList<int>& up = client.view.progress;
        QCOMPARE(up.mid(0, 3), (QList<int>{0, 0, 0}));
        QCOMPARE(up.mid(30, 3), (QList<int>{0, 1, 1}));        // 31 of 3145 blocks is 0.98 %
        QCOMPARE(up.mid(3143, 3), (QList<int>{99, 100, 100})); // 3144, 3145, the rest
        // 2,000,000 bytes: 2000 full blocks and an empty final one.
        transfer(host, client, randomBytes(2 * 1000 * 1000, 43), "big back.bin");
        if (QTest::currentTestFailed())
            return;
        const QList<int>& back = host.view.progress;
        QCOMPARE(back.mid(0, 1), QList<int>{0});
        QCOMPARE(back.mid(18, 3), (QList<int>{0, 1, 1}));     // blocks 19, 20, 21
        QCOMPARE(back.mid(998, 3), (QList<int>{49, 50, 50})); // blocks 999, 1000, 1001
        QCOMPARE(back.mid(1998, 3), (QList<int>{99, 100, 100}));
    }

    void oneTransferEachWayAtOnce() {
        Peer host, client;
        QVERIFY(connectPeers(host, client, freePort()));
        fastClock(client);
        fastClock(host);
        const QByteArray a = randomBytes(400 * 1000 + 5, 7), b = randomBytes(300 * 1000 + 9, 8);
        client.session->SendFile(writeFile(client, "a.bin", a), Session::Confirm::Skip);
        host.session->SendFile(writeFile(host, "b.bin", b), Session::Confirm::Skip);
        QVERIFY(waitFor(
            [&] {
                return host.view.status.contains("File Received.") &&
                       client.view.status.contains("File Received.");
            },
            60000));
        QCOMPARE(readAll(host.recv() + "/a.bin"), a);
        QCOMPARE(readAll(client.recv() + "/b.bin"), b);
        // Chat still works in between.
        client.session->SendChat("done?");
        QVERIFY(waitFor([&] { return host.view.chat.contains("done?"); }));
    }

    void existingFilesAreKept() {
        Peer host, client;
        QVERIFY(connectPeers(host, client, freePort()));
        fastClock(client);
        QFile old(host.recv() + "/notes.txt");
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("keep me");
        old.close();
        const QString path = writeFile(client, "notes.txt", "new content");
        client.session->SendFile(path, Session::Confirm::Skip);
        QVERIFY(waitFor([&] { return host.view.status.contains("File Received."); }));
        QCOMPARE(readAll(host.recv() + "/notes.txt"), "keep me");
        QCOMPARE(readAll(host.recv() + "/notes (2).txt"), "new content");
        QVERIFY(host.view.status.contains("Receiving File notes (2).txt"));
    }

    void hostileNameStaysInsideTheReceiveFolder() {
        Peer host, client;
        QVERIFY(connectPeers(host, client, freePort()));
        // A peer that announces a climbing name.
        client.sock.sendData("FL:../../escape.txt");
        QVERIFY(waitFor([&] { return host.session->receiver().ClientRecv(); }));
        std::string plain = "x";
        client.session->engine().EncryptMessage(plain);
        client.sock.sendData("FB:RM:" + QByteArray::fromStdString(plain) + "|");
        QVERIFY(waitFor([&] { return host.view.status.contains("File Received."); }));
        QCOMPARE(readAll(host.recv() + "/escape.txt"), "x");
        QVERIFY(!QFile::exists(host.dir.filePath("escape.txt")));
        QVERIFY(!QFile::exists(QDir(host.dir.path()).absoluteFilePath("../escape.txt")));
    }

    void peerThatBreaksTheBlockFormatIsCutOff() {
        Peer host, client;
        QVERIFY(connectPeers(host, client, freePort()));
        client.sock.sendData("FL:x.bin");
        QVERIFY(waitFor([&] { return host.session->receiver().ClientRecv(); }));
        // 1000 payload bytes and more, without the terminator.
        client.sock.sendData("FB:" + QByteArray(1500, 'x'));
        QVERIFY(waitFor([&] { return !host.session->IsConnected(); }));
        QVERIFY(host.view.status.contains(
            "The other side sent a damaged file block; the connection was closed."));
        QVERIFY(!host.session->receiver().ClientRecv());
        QCOMPARE(QDir(host.recv()).entryList(QDir::Files | QDir::Hidden), QStringList());
        QVERIFY(host.workFiles().isEmpty());
        // The other side learns that the connection was lost, not that the
        // user left: its program keeps running.
        QVERIFY(waitFor([&] { return client.view.status.contains("Connection lost."); }));
        QVERIFY(!client.services.ended);
    }

    void peerEndingDuringAReceptionLeavesNoFile() {
        Peer host, client;
        QVERIFY(connectPeers(host, client, freePort()));
        client.sock.sendData("FL:half.bin");
        QVERIFY(waitFor([&] { return host.session->receiver().ClientRecv(); }));
        std::string block(1000, 'h');
        client.session->engine().EncryptMessage(block);
        client.sock.sendData("FB:" + QByteArray::fromStdString(block) + "|");
        QVERIFY(waitFor([&] { return host.session->receiver().RecvBlockCount() == 1; }));
        client.session->Exit();
        QVERIFY(waitFor([&] { return !host.session->receiver().ClientRecv(); }));
        // The reception stopped first, then the end was reported.
        QCOMPARE(host.view.status.last(), "The other person ended the connection.");
        QVERIFY(host.view.status.value(host.view.status.size() - 2)
                    .startsWith("File not received: the other side ended the connection"));
        QCOMPARE(QDir(host.recv()).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    void failingWriteEndsTheReception() {
        Peer host, client;
        QVERIFY(connectPeers(host, client, freePort()));
        fastClock(client);
        const QString path = writeFile(client, "full.bin", randomBytes(300 * 1000, 11));
        // The sender, no longer answered, gives up instead of waiting for ever.
        client.session->sender().setAnswerTimeout(500);
        bool ended = false;
        {
            // No file of this process grows past 64 KB, as on a full device.
            const FileSizeLimit full(64 * 1024);
            QVERIFY(full.active());
            client.session->SendFile(path, Session::Confirm::Skip);
            ended = waitFor(
                [&] {
                    return host.view.status.contains("Receiving File full.bin") &&
                           !host.session->receiver().ClientRecv();
                },
                60000);
        }
        QVERIFY(ended);

        const QString last = host.view.status.last();
        QVERIFY2(last.startsWith("File not received: writing full.bin failed"), qPrintable(last));
        // The reason is the system's own, not a generic one.
        QVERIFY2(last.contains(QString::fromLocal8Bit(strerror(EFBIG))), qPrintable(last));
        QVERIFY(!host.view.status.contains("File Received."));
        QCOMPARE(QDir(host.recv()).entryList(QDir::Files | QDir::Hidden), QStringList());
        QVERIFY(waitFor([&] {
            return client.view.status.contains(
                "Sending stopped: the other side stopped answering.");
        }));
        QVERIFY(!client.session->sender().busy());
    }

    void senderStopsCleanlyWhenThePeerGoes() {
        Peer host, client;
        QVERIFY(connectPeers(host, client, freePort()));
        fastClock(client);
        const QString path = writeFile(client, "cut.bin", randomBytes(300 * 1000, 10));
        int blocks = 0;
        QObject::connect(client.session.get(), &Session::messageSent, [&](const QByteArray& m) {
            if (m.startsWith("FB:") && ++blocks == 5)
                host.sock.close();
        });
        client.session->SendFile(path, Session::Confirm::Skip);
        QVERIFY(waitFor([&] { return client.view.status.contains("Connection lost."); }));
        QVERIFY(!client.session->sender().FileInProgress() && !client.session->sender().busy());
        QVERIFY(!client.view.progressVisible);
        QVERIFY(client.view.status.last().startsWith("Sending stopped: the connection was lost"));
    }

    void refusals() {
        Peer host, client;
        // Not connected.
        client.session->SendFile(writeFile(client, "a.txt", "a"), Session::Confirm::Skip);
        QCOMPARE(client.services.log, QStringList{"message:You are not connected."});

        QVERIFY(connectPeers(host, client, freePort()));
        client.services.log.clear();
        // A typed path that names no file: nothing created, nothing sent.
        const int sent = client.sent.size();
        const QString missing = client.path("missing.txt");
        client.session->SendFile(missing, Session::Confirm::Skip);
        QCOMPARE(client.services.log,
                 QStringList{"message:The file " + missing + " does not exist."});
        QVERIFY(!QFile::exists(missing));
        QCOMPARE(client.sent.size(), sent);
        // A folder is not a file to send.
        client.session->SendFile(client.dir.path(), Session::Confirm::Skip);
        QCOMPARE(client.services.entries("message:").size(), 2);
        QVERIFY(client.services.log[1].contains("is a folder"));
        // A file that cannot be read.
        const QString locked = writeFile(client, "locked.txt", "x");
        QFile::setPermissions(locked, QFileDevice::Permissions());
        client.services.log.clear();
        // (Skipped for a user whom permissions do not stop, such as root.)
        if (!QFile(locked).open(QIODevice::ReadOnly)) {
            client.session->SendFile(locked, Session::Confirm::Skip);
            QCOMPARE(client.services.entries("message:").size(), 1);
            QVERIFY(client.services.log[0].contains("cannot be read"));
        }
        QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        // The menu's confirmation answered No.
        const int sentBeforeQuestion = client.sent.size();
        client.services.log.clear();
        client.services.questionAnswer = false;
        client.session->SendFile(writeFile(client, "b.txt", "b"), Session::Confirm::Ask);
        QCOMPARE(client.services.log.size(), 1);
        QVERIFY(client.services.log[0].startsWith(
            "question:Send Confirm:Are you sure you want to send the file "));
        QCOMPARE(client.sent.size(), sentBeforeQuestion);

        // A second send while one is running.
        fastClock(client);
        client.services.log.clear();
        const QString big = writeFile(client, "big.bin", randomBytes(500 * 1000, 3));
        client.session->SendFile(big, Session::Confirm::Skip);
        QVERIFY(client.session->sender().FileInProgress());
        client.session->SendFile(big, Session::Confirm::Skip);
        QCOMPARE(client.services.entries("message:").size(), 1);
        QVERIFY(client.services.log[0].contains("being sent already"));

        // An announcement while a reception is running.
        QVERIFY(waitFor([&] { return host.session->receiver().ClientRecv(); }));
        client.sock.sendData("FL:other.txt");
        QVERIFY(waitFor([&] { return host.view.status.last().contains("refused"); }));
        QVERIFY(waitFor([&] { return host.view.status.contains("File Received."); }, 60000));
        QCOMPARE(readAll(host.recv() + "/big.bin"), randomBytes(500 * 1000, 3));
    }
};

QTEST_GUILESS_MAIN(TstIntegrationFileTransfer)
#include "tst_integration_file_transfer.moc"
