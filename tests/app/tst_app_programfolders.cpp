// Where the program keeps its files, and how it reads its command line.
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <unistd.h>

#include "app/CommandLine.h"
#include "app/FolderLock.h"
#include "app/ProgramFolders.h"

namespace {

void touch(const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
}

} // namespace

class TstAppProgramfolders : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> tmp;

    QString at(const QString& rel) const { return tmp->path() + '/' + rel; }
    // A machine whose executable lives in `exeDir` and whose folders are
    // all writable unless `writable` says otherwise.
    ProgramFolders::Environment env(const QString& exeDir, bool writable = true) const {
        ProgramFolders::Environment e;
        e.exeDir = exeDir;
        e.dataLocation = at("home/.local/share/Vantrel");
        e.downloadDir = at("home/Downloads");
        e.shareDirs = {at("usr-share")};
        e.canWrite = [writable](const QString&) { return writable; };
        return e;
    }

private slots:
    void init() { tmp = std::make_unique<QTemporaryDir>(); }

    // A writable folder of its own (the build tree, an unpacked copy): the
    // program folder is the executable's, received files in its Recv, made at
    // start-up; the help page is the one beside the program.
    void portableBesideExecutable() {
        touch(at("build/app/overview.htm"));
        const ProgramFolders f = ProgramFolders::decide(env(at("build/app")));
        QCOMPARE(f.mode, ProgramFolders::Mode::Portable);
        QCOMPARE(f.programDir, at("build/app/"));
        QCOMPARE(f.recvDir, at("build/app/Recv/"));
        QVERIFY(f.makeRecvAtStartUp);
        QCOMPARE(f.helpPage, at("build/app/overview.htm"));
        // Same as the layout for a folder given directly.
        const ProgramFolders same = ProgramFolders::portable(at("build/app"));
        QCOMPARE(same.programDir, f.programDir);
        QCOMPARE(same.recvDir, f.recvDir);
    }

    // A folder that cannot be written to: the user's data folder, received
    // files in the download folder's Vantrel, made only when a file arrives.
    void installedWhenFolderNotWritable() {
        touch(at("opt/vantrel/overview.htm"));
        const ProgramFolders f = ProgramFolders::decide(env(at("opt/vantrel"), false));
        QCOMPARE(f.mode, ProgramFolders::Mode::Installed);
        QCOMPARE(f.programDir, at("home/.local/share/Vantrel/"));
        QCOMPARE(f.recvDir, at("home/Downloads/Vantrel/"));
        QVERIFY(!f.makeRecvAtStartUp);
        QCOMPARE(f.helpPage, at("opt/vantrel/overview.htm"));
    }

    // bin/ next to share/vantrel/overview.htm is an installed layout even for
    // someone who can write everywhere (root, or a prefix in the home folder);
    // the help page is found in share/vantrel.
    void installedLayoutEvenWhenWritable() {
        touch(at("prefix/share/vantrel/overview.htm"));
        QDir().mkpath(at("prefix/bin"));
        QVERIFY(ProgramFolders::isInstalledLayout(at("prefix/bin")));
        const ProgramFolders f = ProgramFolders::decide(env(at("prefix/bin"), true));
        QCOMPARE(f.mode, ProgramFolders::Mode::Installed);
        QCOMPARE(f.helpPage, at("prefix/share/vantrel/overview.htm"));
        // A bin/ folder without the help page in share/ is just a folder.
        QDir().mkpath(at("other/bin"));
        QVERIFY(!ProgramFolders::isInstalledLayout(at("other/bin")));
        QCOMPARE(ProgramFolders::decide(env(at("other/bin"))).mode, ProgramFolders::Mode::Portable);
    }

    // The help page is also found in a system data folder, and when it is
    // nowhere the window is pointed beside the program (and says it is missing).
    void helpPageElsewhere() {
        touch(at("usr-share/vantrel/overview.htm"));
        QDir().mkpath(at("lib/vantrel"));
        QCOMPARE(ProgramFolders::decide(env(at("lib/vantrel"), false)).helpPage,
                 at("usr-share/vantrel/overview.htm"));
        QFile::remove(at("usr-share/vantrel/overview.htm"));
        QCOMPARE(ProgramFolders::decide(env(at("lib/vantrel"), false)).helpPage,
                 at("lib/vantrel/overview.htm"));
    }

    // --folder wins over both: DIR holds the files and DIR/Recv the
    // received ones; a relative DIR is taken from the current folder.
    void chosenFolder() {
        touch(at("prefix/share/vantrel/overview.htm"));
        QDir().mkpath(at("prefix/bin"));
        const ProgramFolders f =
            ProgramFolders::decide(env(at("prefix/bin"), false), at("profile two"));
        QCOMPARE(f.mode, ProgramFolders::Mode::Chosen);
        QCOMPARE(f.programDir, at("profile two/"));
        QCOMPARE(f.recvDir, at("profile two/Recv/"));
        QVERIFY(f.makeRecvAtStartUp);
        QCOMPARE(f.helpPage, at("prefix/share/vantrel/overview.htm"));

        const QString before = QDir::currentPath();
        QDir::setCurrent(tmp->path());
        const ProgramFolders rel = ProgramFolders::decide(env(at("x")), "rel/p");
        QDir::setCurrent(before);
        QCOMPARE(rel.programDir, at("rel/p/"));
    }

    void makeProgramDir() {
        ProgramFolders f = ProgramFolders::portable(at("a/b/c"));
        QString error;
        QVERIFY(f.makeProgramDir(&error));
        QVERIFY(QFileInfo(at("a/b/c")).isDir());
        QVERIFY(f.makeProgramDir(&error)); // already there
        touch(at("plain"));
        f = ProgramFolders::portable(at("plain"));
        QVERIFY(!f.makeProgramDir(&error));
        QVERIFY2(error.contains("plain"), qPrintable(error));
    }

    // The probe leaves nothing behind, and tells a folder that refuses files.
    void writeProbe() {
        QDir().mkpath(at("w"));
        QVERIFY(ProgramFolders::writeProbe(at("w")));
        QVERIFY(QDir(at("w"))
                    .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                    .isEmpty());
        QVERIFY(!ProgramFolders::writeProbe(at("missing")));
        if (geteuid() == 0)
            QSKIP("root writes into read-only folders; the installed layout decides there");
        QFile::setPermissions(at("w"), QFile::ReadOwner | QFile::ExeOwner);
        const bool written = ProgramFolders::writeProbe(at("w"));
        QFile::setPermissions(at("w"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(!written);
    }

    void commandLine_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("action");
        QTest::addColumn<QString>("folder");
        using A = CommandLine::Action;
        QTest::newRow("nothing") << QStringList{} << int(A::Run) << "";
        QTest::newRow("help") << QStringList{"--help"} << int(A::Help) << "";
        QTest::newRow("-h") << QStringList{"-h"} << int(A::Help) << "";
        QTest::newRow("version") << QStringList{"--version"} << int(A::Version) << "";
        QTest::newRow("folder") << QStringList{"--folder", "/tmp/p q"} << int(A::Run) << "/tmp/p q";
        QTest::newRow("folder=") << QStringList{"--folder=/tmp/p"} << int(A::Run) << "/tmp/p";
        QTest::newRow("toolkit options left alone")
            << QStringList{"-platform", "offscreen", "--folder", "d", "-reverse", "-style=fusion"}
            << int(A::Run) << "d";
        QTest::newRow("unknown option") << QStringList{"--colour"} << int(A::Error) << "";
        QTest::newRow("folder without value") << QStringList{"--folder"} << int(A::Error) << "";
        QTest::newRow("empty folder") << QStringList{"--folder", ""} << int(A::Error) << "";
        QTest::newRow("stray argument") << QStringList{"file.txt"} << int(A::Error) << "";
    }
    void commandLine() {
        QFETCH(QStringList, args);
        QFETCH(int, action);
        QFETCH(QString, folder);
        const CommandLine cmd = CommandLine::parse(QStringList{"vantrel"} + args);
        QCOMPARE(int(cmd.action), action);
        QCOMPARE(cmd.folder, folder);
        QCOMPARE(cmd.error.isEmpty(), action != int(CommandLine::Action::Error));
    }

    // The lock is held until its owner lets go; the refusal names the
    // folder; a folder that takes no file gives no lock but is no "in use".
    void folderLock() {
        QVERIFY(QDir().mkpath(at("profile")));
        auto holder = std::make_unique<FolderLock>(at("profile"));
        QCOMPARE(holder->acquire(), FolderLock::Result::Held);
        FolderLock other(at("profile"));
        QCOMPARE(other.acquire(), FolderLock::Result::InUse);
        // Age never makes it stale: a lock file last touched 40 s ago (the
        // holder still runs) still refuses a second copy.
        {
            QFile lockFile(at("profile/vantrel.lock"));
            QVERIFY(lockFile.open(QIODevice::ReadWrite));
            QVERIFY(lockFile.setFileTime(QDateTime::currentDateTime().addSecs(-40),
                                         QFileDevice::FileModificationTime));
        }
        QCOMPARE(other.acquire(), FolderLock::Result::InUse);
        QVERIFY(other.inUseMessage().contains("already running with the program folder " +
                                              QDir::toNativeSeparators(at("profile")) + "."));
        holder.reset();
        QVERIFY(!QFileInfo::exists(at("profile/vantrel.lock")));
        QCOMPARE(other.acquire(), FolderLock::Result::Held);

        if (geteuid() != 0) { // root writes into read-only folders
            QVERIFY(QDir().mkpath(at("readonly")));
            QVERIFY(QFile::setPermissions(at("readonly"), QFile::ReadOwner | QFile::ExeOwner));
            FolderLock none(at("readonly"));
            QCOMPARE(none.acquire(), FolderLock::Result::Unavailable);
            QFile::setPermissions(at("readonly"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
    }

    // Only the engine's working files go; the settings and anything else
    // stay.
    void leftOverWorkFilesAreWiped() {
        const QStringList work{"k1.bin", "k1.brs", "k1.bcr", "k2.bin",
                               "k3.bin", "k4.bin", "k5.bin", "k6.dat"};
        for (const QString& name :
             work + QStringList{"port.dat", "font.dat", "k7.bin", "Recv/k1.bin"})
            touch(at("p/" + name));
        for (const QString& name : work) {
            QFile f(at("p/" + name));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("key material");
        }
        QCOMPARE(wipeLeftOverWorkFiles(at("p")), QString());
        QCOMPARE(QDir(at("p")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 (QStringList{"font.dat", "k7.bin", "port.dat", "Recv"}));
        QVERIFY(QFileInfo::exists(at("p/Recv/k1.bin")));
        QCOMPARE(wipeLeftOverWorkFiles(at("p")), QString()); // nothing left: no error

        QVERIFY(QDir().mkpath(at("p/k2.bin")));
        QVERIFY(wipeLeftOverWorkFiles(at("p")).contains("k2.bin"));
    }
};

QTEST_GUILESS_MAIN(TstAppProgramfolders)
#include "tst_app_programfolders.moc"
