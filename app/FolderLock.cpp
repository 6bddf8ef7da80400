#include "app/FolderLock.h"

#include <QDir>
#include <QFile>

#include "engine/SDK.h"

FolderLock::FolderLock(const QString& programDir)
    : m_dir(programDir), m_lock(QDir(programDir).filePath(fileName())) {
    // Held for as long as the program runs: age alone never makes it stale,
    // only a holder that is no longer running.
    m_lock.setStaleLockTime(0);
}

FolderLock::Result FolderLock::acquire() {
    if (m_lock.tryLock(200))
        return Result::Held;
    return m_lock.error() == QLockFile::LockFailedError ? Result::InUse : Result::Unavailable;
}

QString FolderLock::inUseMessage() const {
    return QStringLiteral("Vantrel is already running with the program folder %1.\n\n"
                          "Only one copy can use a program folder at a time. Use the copy "
                          "that is running, or start this one with --folder and another "
                          "folder.")
        .arg(QDir::toNativeSeparators(m_dir));
}

QString wipeLeftOverWorkFiles(const QString& programDir) {
    SDK engine(QFile::encodeName(programDir).toStdString());
    const EngineResult wiped = engine.WipeWorkFiles();
    return wiped ? QString() : QString::fromStdString(wiped.error);
}
