#pragma once

#include <QString>
#include <QStringList>

// The program's command line: --help, --version, --folder DIR and
// --no-discovery. It is read
// before any window exists, so --help and --version need no display.
struct CommandLine {
    enum class Action { Run, Help, Version, Error };

    Action action = Action::Run;
    // --folder DIR (empty when not given).
    QString folder;
    // --no-discovery: no list of copies on this network, no announcement.
    bool discovery = true;
    // What went wrong, for Action::Error.
    QString error;

    // `args` as main() got them, the program's name first.
    static CommandLine parse(const QStringList& args);
    static QString helpText();
    static QString versionText();
};
