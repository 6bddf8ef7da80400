#include <QApplication>
#include <QDir>
#include <QFont>
#include <QIcon>
#include <QStringList>

#include <cstdio>

#include "app/CommandLine.h"
#include "app/FolderLock.h"
#include "app/ProgramFolders.h"
#include "app/RouterPort.h"
#include "app/frmMain.h"
#include "platform/AvahiDiscovery.h"
#include "platform/QtServices.h"

namespace {

int print(FILE* stream, const QString& text, int exitCode) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
    return exitCode;
}

// Offscreen and minimal platforms have no screen a message box could be
// seen on; there a box would only wait for ever. The text goes to stderr in
// any case.
bool canShowMessages() {
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

} // namespace

int main(int argc, char* argv[]) {
    // The command line is read before the GUI starts: --help and --version
    // print and end without a window or a display.
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const CommandLine cmd = CommandLine::parse(args);
    switch (cmd.action) {
    case CommandLine::Action::Help:
        return print(stdout, CommandLine::helpText(), 0);
    case CommandLine::Action::Version:
        return print(stdout, CommandLine::versionText(), 0);
    case CommandLine::Action::Error:
        return print(stderr, QStringLiteral("vantrel: %1\nTry 'vantrel --help'.\n").arg(cmd.error),
                     2);
    case CommandLine::Action::Run:
        break;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vantrel"));
    QApplication::setApplicationVersion(QStringLiteral(VANTREL_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("net.orvane.Vantrel"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("net.orvane.Vantrel"),
                                                 QIcon(QStringLiteral(":/icons/vantrel-256.png"))));

    // The window layouts are measured for a small sans-serif font.
    QFont font(QStringLiteral("Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(8.0);
    QApplication::setFont(font);

    const ProgramFolders folders =
        ProgramFolders::decide(ProgramFolders::Environment::system(), cmd.folder);
    QtServices services;
    QString error;
    if (!folders.makeProgramDir(&error)) {
        print(stderr, QStringLiteral("vantrel: %1\n").arg(error), 1);
        // Someone who started the program from a menu sees no terminal.
        if (cmd.folder.isEmpty())
            services.message(error);
        return 1;
    }

    // A second copy on this folder ends here, before it touches any file.
    FolderLock lock(folders.programDir);
    switch (lock.acquire()) {
    case FolderLock::Result::InUse:
        print(stderr, QStringLiteral("vantrel: %1\n").arg(lock.inUseMessage()), 3);
        if (canShowMessages())
            services.message(lock.inUseMessage());
        return 3;
    case FolderLock::Result::Held:
        // Key files found now were left by a copy that did not end normally.
        if (const QString failed = wipeLeftOverWorkFiles(folders.programDir); !failed.isEmpty()) {
            const QString text =
                QStringLiteral("Key files left in %1 by an earlier run could not be wiped: %2")
                    .arg(QDir::toNativeSeparators(folders.programDir), failed);
            print(stderr, QStringLiteral("vantrel: %1\n").arg(text), 0);
            if (canShowMessages())
                services.message(text);
        }
        break;
    case FolderLock::Result::Unavailable:
        // A folder that takes no lock file takes no other file either; the
        // window's start-up names the files it cannot write.
        break;
    }

    frmMain window(folders, services);
    window.routerPort().setTarget({cmd.upnpUrl, cmd.natpmpGateway});
    if (cmd.discovery)
        window.setDiscovery(std::make_unique<AvahiDiscovery>());
    window.show();
    return app.exec();
}
