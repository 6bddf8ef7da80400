#include "app/ProgramFolders.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace {

const QString HelpName = QStringLiteral("overview.htm");

QString withSlash(const QString& dir) {
    QString d = QDir::cleanPath(QDir(dir).absolutePath());
    if (!d.endsWith(QLatin1Char('/')))
        d += QLatin1Char('/');
    return d;
}

// The help page: beside the executable (build tree, portable copy), in the
// installed layout's share/vantrel, or in a system data folder.
QString findHelpPage(const QString& exeDir, const QStringList& shareDirs) {
    QStringList candidates{QDir(exeDir).filePath(HelpName),
                           QDir(exeDir).filePath(QStringLiteral("../share/vantrel/") + HelpName)};
    for (const QString& share : shareDirs)
        candidates << QDir(share).filePath(QStringLiteral("vantrel/") + HelpName);
    for (const QString& c : candidates)
        if (QFileInfo(c).isFile())
            return QDir::cleanPath(QFileInfo(c).absoluteFilePath());
    return {};
}

} // namespace

ProgramFolders::Environment ProgramFolders::Environment::system() {
    Environment env;
    env.exeDir = QCoreApplication::applicationDirPath();
    env.dataLocation = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    env.downloadDir = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    env.shareDirs = QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation);
    env.canWrite = &ProgramFolders::writeProbe;
    return env;
}

bool ProgramFolders::isInstalledLayout(const QString& dir) {
    const QDir d(dir);
    return d.dirName() == QLatin1String("bin") &&
           QFileInfo(d.filePath(QStringLiteral("../share/vantrel/") + HelpName)).isFile();
}

bool ProgramFolders::writeProbe(const QString& dir) {
    QTemporaryFile probe(QDir(dir).filePath(QStringLiteral(".vantrel-probe-XXXXXX")));
    if (!probe.open())
        return false;
    const bool written = probe.write("x", 1) == 1 && probe.flush();
    probe.close();
    return written; // the file is removed when `probe` goes
}

ProgramFolders ProgramFolders::portable(const QString& dir) {
    ProgramFolders f;
    f.programDir = withSlash(dir);
    f.recvDir = f.programDir + QStringLiteral("Recv/");
    f.helpPage = f.programDir + HelpName;
    return f;
}

ProgramFolders ProgramFolders::decide(const Environment& env, const QString& chosenDir) {
    ProgramFolders f;
    const QString help = findHelpPage(env.exeDir, env.shareDirs);
    if (!chosenDir.isEmpty()) {
        f = portable(chosenDir);
        f.mode = Mode::Chosen;
    } else if (!isInstalledLayout(env.exeDir) && env.canWrite && env.canWrite(env.exeDir)) {
        f = portable(env.exeDir);
    } else {
        f.mode = Mode::Installed;
        f.programDir = withSlash(env.dataLocation);
        f.recvDir = env.downloadDir.isEmpty()
                        ? f.programDir + QStringLiteral("Recv/")
                        : withSlash(QDir(env.downloadDir).filePath(QStringLiteral("Vantrel")));
        f.makeRecvAtStartUp = false;
    }
    // Shown as it is, even when missing (the help window says so); the page
    // found beside the program or in the installed layout wins.
    f.helpPage = help.isEmpty() ? withSlash(env.exeDir) + HelpName : help;
    return f;
}

bool ProgramFolders::makeProgramDir(QString* error) const {
    const QFileInfo info(programDir);
    if (info.isDir())
        return true;
    if (info.exists() || !QDir().mkpath(programDir)) {
        if (error)
            *error = QStringLiteral("The folder %1 cannot be made.")
                         .arg(QDir::toNativeSeparators(programDir));
        return false;
    }
    return true;
}

QString ProgramFolders::modeText() const {
    switch (mode) {
    case Mode::Portable:
        return QStringLiteral("portable");
    case Mode::Installed:
        return QStringLiteral("installed");
    case Mode::Chosen:
        return QStringLiteral("chosen with --folder");
    }
    return {};
}
