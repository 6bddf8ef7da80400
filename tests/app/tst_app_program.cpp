// The built program run as a user runs it: its command line and the folder
// it starts in.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

} // namespace

class TstAppProgram : public QObject {
    Q_OBJECT
    QTemporaryDir tmp;
    // A program that runs with a window is pointed at routers on loopback
    // where nothing answers, and neither lists nor announces copies on the
    // network: even a wait would send nothing off the machine.
    const QStringList LoopbackRouter{"--upnp-url", "http://127.0.0.1:9/rootDesc.xml",
                                     "--natpmp-gateway", "127.0.0.2", "--no-discovery"};

    // An environment with a home folder of its own and, unless `display` is
    // set, no display at all: a program that opened a window would fail.
    QProcessEnvironment environment(bool display) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", tmp.filePath("home"));
        env.insert("XDG_DATA_HOME", tmp.filePath("home/.local/share"));
        env.insert("XDG_CONFIG_HOME", tmp.filePath("home/.config"));
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.insert("QT_QPA_PLATFORM", display ? "offscreen" : "xcb");
        return env;
    }

    struct Run {
        int exitCode = -1;
        QByteArray out, err;
    };
    Run run(const QStringList& args) {
        QProcess p;
        p.setProcessEnvironment(environment(false));
        p.start(VANTREL_EXE, args);
        Run r;
        if (!p.waitForFinished(30000)) {
            p.kill();
            p.waitForFinished();
            return r;
        }
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        return r;
    }

private slots:
    void helpAndVersionPrintAndEnd() {
        for (const QString& opt : {QStringLiteral("--help"), QStringLiteral("-h")}) {
            const Run r = run({opt});
            QCOMPARE(r.exitCode, 0);
            QCOMPARE(r.err, QByteArray());
            QVERIFY2(r.out.startsWith("Usage: vantrel [--folder DIR] [--upnp-url URL] "
                                      "[--natpmp-gateway ADDRESS]\n"
                                      "               [--no-discovery]\n"),
                     r.out.constData());
            for (const char* word :
                 {"--help", "--version", "--folder DIR", "download folder", "--upnp-url URL",
                  "--natpmp-gateway ADDRESS", "--no-discovery"})
                QVERIFY2(r.out.contains(word), word);
        }
        for (const QString& opt : {QStringLiteral("--version"), QStringLiteral("-v")}) {
            const Run r = run({opt});
            QCOMPARE(r.exitCode, 0);
            QCOMPARE(r.err, QByteArray());
            QCOMPARE(r.out, QByteArray("Vantrel " VANTREL_VERSION "\n"));
        }
        // Help wins over a folder that could not be made: nothing is made.
        const Run r = run({"--folder", tmp.filePath("never"), "--help"});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(!QFileInfo::exists(tmp.filePath("never")));
        QVERIFY(!QFileInfo::exists(tmp.filePath("home")));
    }

    void wrongCommandLine() {
        for (const QStringList& args :
             {QStringList{"--colour"}, QStringList{"--folder"}, QStringList{"stray.txt"},
              QStringList{"--upnp-url", "ftp://127.0.0.1/rootDesc.xml"},
              QStringList{"--natpmp-gateway", "router.local"}}) {
            const Run r = run(args);
            QCOMPARE(r.exitCode, 2);
            QCOMPARE(r.out, QByteArray());
            QVERIFY2(r.err.startsWith("vantrel: "), r.err.constData());
            QVERIFY2(r.err.endsWith("Try 'vantrel --help'.\n"), r.err.constData());
        }
    }

    // --folder DIR: DIR is made and holds the settings files and Recv, as a
    // portable copy's own folder does; nothing goes into the home folder.
    void startsInChosenFolder() {
        const QString dir = tmp.filePath("profile/one");
        QProcess p;
        p.setProcessEnvironment(environment(true));
        p.start(VANTREL_EXE, QStringList{"--folder", dir} + LoopbackRouter);
        QVERIFY(p.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dir + "/opt.dne"), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(dir + "/Recv").isDir(), 30000);
        QCOMPARE(p.state(), QProcess::Running);
        p.kill();
        p.waitForFinished();
        QCOMPARE(readAll(dir + "/port.dat"), QByteArray("7777\r\n"));
        QCOMPARE(readAll(dir + "/font.dat"), QByteArray());
        QCOMPARE(readAll(dir + "/opt.dne"), QByteArray());
        QVERIFY(!QFileInfo::exists(tmp.filePath("home/.local/share/Vantrel")));
        QVERIFY(!QFileInfo::exists(tmp.filePath("home/Downloads")));
    }

    // One folder, one running copy. The first copy wipes key files left by
    // a crash; a second copy on the folder says so and ends without touching
    // a file (not the first copy's keys, not the settings it would make);
    // once the first copy is killed its lock is stale and the next start
    // takes the folder over.
    void oneCopyPerFolder() {
        const QString dir = tmp.filePath("shared");
        QVERIFY(QDir().mkpath(dir));
        const QStringList workFiles{"k1.bin", "k1.brs", "k1.bcr", "k2.bin",
                                    "k3.bin", "k4.bin", "k5.bin", "k6.dat"};
        for (const QString& name : workFiles)
            QVERIFY(writeFile(dir + '/' + name, "left over " + name.toLatin1()));
        QVERIFY(writeFile(dir + "/notes.txt", "mine"));

        QProcess first;
        first.setProcessEnvironment(environment(true));
        first.start(VANTREL_EXE, QStringList{"--folder", dir} + LoopbackRouter);
        QVERIFY(first.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dir + "/opt.dne"), 30000);
        for (const QString& name : workFiles)
            QVERIFY2(!QFileInfo::exists(dir + '/' + name), qPrintable(name));
        QCOMPARE(readAll(dir + "/notes.txt"), QByteArray("mine"));
        QVERIFY(QFileInfo::exists(dir + "/vantrel.lock"));

        // The first copy's keys while it is connected; the files a start
        // makes are gone, so a second copy that went on would make them.
        QVERIFY(writeFile(dir + "/k1.bin", "keys in use"));
        for (const char* name : {"/port.dat", "/font.dat", "/opt.dne", "/secure.dat"})
            QVERIFY(QFile::remove(dir + name));
        QVERIFY(QDir(dir + "/Recv").removeRecursively());
        const QByteArray lockBefore = readAll(dir + "/vantrel.lock");

        QProcess second;
        second.setProcessEnvironment(environment(true));
        second.start(VANTREL_EXE, QStringList{"--folder", dir} + LoopbackRouter);
        QVERIFY(second.waitForFinished(30000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 3);
        const QByteArray err = second.readAllStandardError();
        QVERIFY2(err.contains("already running with the program folder " + QFile::encodeName(dir)),
                 err.constData());
        QCOMPARE(QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 (QStringList{"k1.bin", "notes.txt", "vantrel.lock"}));
        QCOMPARE(readAll(dir + "/k1.bin"), QByteArray("keys in use"));
        QCOMPARE(readAll(dir + "/vantrel.lock"), lockBefore);
        QCOMPARE(first.state(), QProcess::Running);

        first.kill();
        QVERIFY(first.waitForFinished());
        QVERIFY(QFileInfo::exists(dir + "/vantrel.lock"));
        QProcess third;
        third.setProcessEnvironment(environment(true));
        third.start(VANTREL_EXE, QStringList{"--folder", dir} + LoopbackRouter);
        QVERIFY(third.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dir + "/opt.dne"), 30000);
        QVERIFY(!QFileInfo::exists(dir + "/k1.bin"));
        QCOMPARE(third.state(), QProcess::Running);
        third.kill();
        third.waitForFinished();
    }

    void chosenFolderThatCannotBeMade() {
        QFile blocker(tmp.filePath("a file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QProcess p;
        p.setProcessEnvironment(environment(true));
        p.start(VANTREL_EXE, QStringList{"--folder", tmp.filePath("a file")} + LoopbackRouter);
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 1);
        QVERIFY(p.readAllStandardError().contains("a file"));
    }
};

QTEST_GUILESS_MAIN(TstAppProgram)
#include "tst_app_program.moc"
