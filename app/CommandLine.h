#pragma once

#include <QString>
#include <QStringList>

// The program's command line: --help, --version and --folder DIR. It is read
// before any window exists, so --help and --version need no display.
struct CommandLine {
    enum class Action { Run, Help, Version, Error };

    Action action = Action::Run;
    // --folder DIR (empty when not given).
    QString folder;
    // What went wrong, for Action::Error.
    QString error;

    // `args` as main() got them, the program's name first.
    static CommandLine parse(const QStringList& args);
    // The --help text, in lines of at most HelpWidth columns.
    static QString helpText();
    static constexpr int HelpWidth = 80;
    static QString versionText();
};
