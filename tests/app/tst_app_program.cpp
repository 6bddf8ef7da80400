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

} // namespace

class TstAppProgram : public QObject {
    Q_OBJECT
    QTemporaryDir tmp;

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
            QVERIFY2(r.out.startsWith("Usage: vantrel [--folder DIR]\n"), r.out.constData());
            for (const char* word : {"--help", "--version", "--folder DIR", "download folder"})
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
             {QStringList{"--colour"}, QStringList{"--folder"}, QStringList{"stray.txt"}}) {
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
        p.start(VANTREL_EXE, {"--folder", dir});
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

    void chosenFolderThatCannotBeMade() {
        QFile blocker(tmp.filePath("a file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QProcess p;
        p.setProcessEnvironment(environment(true));
        p.start(VANTREL_EXE, {"--folder", tmp.filePath("a file")});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 1);
        QVERIFY(p.readAllStandardError().contains("a file"));
    }
};

QTEST_GUILESS_MAIN(TstAppProgram)
#include "tst_app_program.moc"
