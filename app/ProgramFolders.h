#pragma once

#include <QString>
#include <QStringList>
#include <functional>

// Where the program keeps its files, decided once at start.
//
// Portable: the executable's folder can be written to and is not an
// installed layout. It is the program folder, and received files go to its
// Recv folder, made at start-up.
//
// Installed: the executable sits in a prefix's bin/ next to
// share/vantrel/overview.htm, or its folder cannot be written to. The program
// folder is the user's data folder (made at start), and received files go to
// the user's download folder, subfolder "Vantrel", made when the first file
// arrives.
//
// Chosen (--folder DIR): DIR is the program folder and DIR/Recv holds the
// received files, as in portable mode.
struct ProgramFolders {
    enum class Mode { Portable, Installed, Chosen };

    Mode mode = Mode::Portable;
    // The program folder, ending in "/": port.dat, font.dat, opt.dne and the
    // key files live here.
    QString programDir;
    // The received-files folder, ending in "/".
    QString recvDir;
    // True when the received-files folder is made at start-up; otherwise the
    // receiving side makes it when the first file arrives.
    bool makeRecvAtStartUp = true;
    // The help page to show; empty when none was found.
    QString helpPage;

    // What the decision needs from the machine; the defaults ask the system.
    struct Environment {
        QString exeDir;        // the executable's folder
        QString dataLocation;  // the user's data folder for the program
        QString downloadDir;   // the user's download folder
        QStringList shareDirs; // system data folders, searched for vantrel/overview.htm
        std::function<bool(const QString&)> canWrite;
        static Environment system();
    };

    // `chosenDir` is the --folder argument (empty when not given).
    static ProgramFolders decide(const Environment& env, const QString& chosenDir = QString());
    // The portable layout for a given program folder (its Recv, its help page).
    static ProgramFolders portable(const QString& dir);

    // Makes the program folder when it is missing. False with `error` set
    // when it cannot be made or is not a folder.
    bool makeProgramDir(QString* error) const;

    // True when `dir` is the bin/ folder of an installed layout: a sibling
    // share/vantrel/overview.htm exists.
    static bool isInstalledLayout(const QString& dir);
    // True when a file can actually be created in `dir` (and is removed
    // again). access() alone would let root "write" a read-only folder only
    // to fail later on a read-only mount.
    static bool writeProbe(const QString& dir);

    // Text for a user: "portable", "installed" or "chosen with --folder".
    QString modeText() const;
};
