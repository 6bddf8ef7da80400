#include "protocol/FileTransfer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TstProtocolFilenames : public QObject {
    Q_OBJECT
private slots:
    void hostileNamesBecomeSafe_data() {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << QByteArray("report.pdf") << "report.pdf";
        QTest::newRow("unix path") << QByteArray("/etc/passwd") << "passwd";
        QTest::newRow("windows path") << QByteArray("C:\\Users\\a\\notes.txt") << "notes.txt";
        QTest::newRow("climb unix") << QByteArray("../../.bashrc") << ".bashrc";
        QTest::newRow("climb windows") << QByteArray("..\\..\\boot.ini") << "boot.ini";
        QTest::newRow("mixed separators") << QByteArray("a/b\\c/d.txt") << "d.txt";
        QTest::newRow("empty") << QByteArray("") << "received file";
        QTest::newRow("dot") << QByteArray(".") << "received file";
        QTest::newRow("dot dot") << QByteArray("..") << "received file";
        QTest::newRow("ends in separator") << QByteArray("folder/") << "received file";
        QTest::newRow("dot dot after separator") << QByteArray("x/..") << "received file";
        QTest::newRow("blanks only") << QByteArray("   ") << "received file";
        // Too long, and nothing but blanks once shortened.
        QTest::newRow("long blanks then text")
            << QByteArray(126, '\xa0') + "\x02" + QByteArray(8, 'x') << "received file";
        QTest::newRow("control characters") << QByteArray("a\tb\nc\x01.txt") << "a_b_c_.txt";
        QTest::newRow("nul byte") << QByteArray("evil\0.txt", 9) << "evil_.txt";
        QTest::newRow("utf-8") << QByteArray("gr\xc3\xbc\xc3\x9f.txt")
                               << QString::fromUtf8("grüß.txt");
        QTest::newRow("windows-1252") << QByteArray("caf\xe9.txt") << QString::fromUtf8("café.txt");
        // Invisible format characters: a right-to-left override would show
        // "\u202Etxt.exe" as "exe.txt"; a zero-width joiner, a soft hyphen.
        QTest::newRow("format characters")
            << QString::fromUtf8("\u202Etxt.exe\u200D\u00AD").toUtf8() << "_txt.exe__";
    }
    void hostileNamesBecomeSafe() {
        QFETCH(QByteArray, raw);
        QFETCH(QString, expected);
        QCOMPARE(FileReceiver::safeFileName(raw), expected);
    }

    void longNamesAreShortenedKeepingTheExtension() {
        const QString name = FileReceiver::safeFileName(QByteArray(400, 'a') + ".tar");
        QVERIFY(name.toUtf8().size() <= 255);
        QVERIFY(name.endsWith(".tar"));
        QVERIFY(name.startsWith("aaaa"));
        // Room is left for a " (n)" that a free name may add.
        QVERIFY(name.toUtf8().size() + 12 <= 255);
        // Multi-byte characters are never cut in half.
        const QString wide = FileReceiver::safeFileName(QString(300, QChar(0x00e9)).toUtf8());
        QVERIFY(wide.toUtf8().size() <= 255);
        QVERIFY(!wide.contains(QChar::ReplacementCharacter));
    }

    // A hostile announcement of any length costs one short pass: only its
    // first kilobytes are looked at.
    void hugeNamesAreHandledInBoundedTime() {
        QElapsedTimer clock;
        clock.start();
        const QString plain = FileReceiver::safeFileName(QByteArray(800'000, 'a') + ".txt");
        const QString wide = FileReceiver::safeFileName(QString(400'000, QChar(0x00e9)).toUtf8());
        const qint64 ms = clock.elapsed();
        QVERIFY2(ms < 1000, qPrintable(QString::number(ms)));
        QCOMPARE(plain, QString(243, 'a'));
        QCOMPARE(wide, QString(121, QChar(0x00e9)));
    }

    void existingNamesAreNotOverwritten() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QCOMPARE(FileReceiver::freeFileName(dir.path(), "a.txt"), "a.txt");
        QFile(dir.filePath("a.txt")).open(QIODevice::WriteOnly);
        QCOMPARE(FileReceiver::freeFileName(dir.path(), "a.txt"), "a (2).txt");
        QFile(dir.filePath("a (2).txt")).open(QIODevice::WriteOnly);
        QCOMPARE(FileReceiver::freeFileName(dir.path(), "a.txt"), "a (3).txt");
        // A folder or a dangling link of that name counts as taken too.
        QDir(dir.path()).mkdir("b");
        QCOMPARE(FileReceiver::freeFileName(dir.path(), "b"), "b (2)");
        QFile::link(dir.filePath("nowhere"), dir.filePath("c.bin"));
        QCOMPARE(FileReceiver::freeFileName(dir.path(), "c.bin"), "c (2).bin");
        // Names without extension, and names that start with a dot.
        QFile(dir.filePath(".rc")).open(QIODevice::WriteOnly);
        QCOMPARE(FileReceiver::freeFileName(dir.path(), ".rc"), ".rc (2)");
    }

    void insideIsDecidedOnResolvedPaths() {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("Recv"));
        QVERIFY(QDir(dir.path()).mkdir("Recv2"));
        const QString recv = dir.filePath("Recv");
        QVERIFY(FileReceiver::isInside(recv, recv + "/x.txt"));
        QVERIFY(!FileReceiver::isInside(recv, recv + "/../x.txt"));
        // A sibling whose name starts with the same text is not inside.
        QVERIFY(!FileReceiver::isInside(recv, dir.filePath("Recv2/x.txt")));
        // A link inside the folder that leads out of it is not inside.
        QVERIFY(QFile::link(dir.path(), recv + "/out"));
        QVERIFY(!FileReceiver::isInside(recv, recv + "/out/x.txt"));
        QVERIFY(!FileReceiver::isInside(recv, recv + "/sub/x.txt"));
    }

    void baseNameTakesEitherSeparator() {
        QCOMPARE(FileSender::baseName("/home/u/a.txt"), "a.txt");
        QCOMPARE(FileSender::baseName("C:\\Tools\\b.bin"), "b.bin");
        QCOMPARE(FileSender::baseName("plain"), "plain");
    }
};

QTEST_APPLESS_MAIN(TstProtocolFilenames)
#include "tst_protocol_filenames.moc"
