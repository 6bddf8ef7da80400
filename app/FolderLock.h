#pragma once

#include <QLockFile>
#include <QString>

// The program folder belongs to one running copy at a time. Two copies on
// one folder would share the key files and the received-files folder: one
// copy's wipe would remove the other's keys, and two receptions of one name
// would write over each other.
//
// The lock is the file "vantrel.lock" in the program folder. It names the
// process that holds it; a lock left by a copy that no longer runs (killed,
// or the machine lost power) is found stale and taken over.
class FolderLock {
public:
    enum class Result {
        Held,        // this copy holds the folder
        InUse,       // another running copy holds it
        Unavailable, // no lock file can be made there (a read-only folder)
    };

    explicit FolderLock(const QString& programDir);

    // Takes the lock if it is free; waits at most a moment for it.
    Result acquire();
    // What the user is told when another copy holds the folder.
    QString inUseMessage() const;

    static QString fileName() { return QStringLiteral("vantrel.lock"); }

private:
    QString m_dir;
    QLockFile m_lock;
};

// Overwrites and deletes engine working files found in `programDir`. Called
// once this copy holds the folder: any such file is a left-over of a copy
// that ended without wiping (a crash, a power cut). Empty when every file
// was handled, otherwise the reason, naming the files.
QString wipeLeftOverWorkFiles(const QString& programDir);
