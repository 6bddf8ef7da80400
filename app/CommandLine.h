#pragma once

#include <QString>
#include <QStringList>

// The program's command line: --help, --version, --folder DIR, the router to
// ask for the port (--upnp-url URL, --natpmp-gateway ADDRESS) and
// --no-discovery. It is read
// before any window exists, so --help and --version need no display.
struct CommandLine {
    enum class Action { Run, Help, Version, Error };

    Action action = Action::Run;
    // --folder DIR (empty when not given).
    QString folder;
    // The router's UPnP description URL and NAT-PMP address (empty when not
    // given; the router is then found on the network).
    QString upnpUrl;
    QString natpmpGateway;
    // --no-discovery: no list of copies on this network, no announcement.
    bool discovery = true;
    // What went wrong, for Action::Error.
    QString error;

    // `args` as main() got them, the program's name first.
    static CommandLine parse(const QStringList& args);
    static QString helpText();
    static QString versionText();
};
