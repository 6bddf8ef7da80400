#include "app/CommandLine.h"

#include <QCommandLineParser>
#include <QHostAddress>
#include <QUrl>

namespace {

// Options the GUI toolkit takes for itself, with whether they carry a value.
// They are left to it instead of being refused here.
struct ToolkitOption {
    const char* name;
    bool hasValue;
};
constexpr ToolkitOption ToolkitOptions[] = {
    {"platform", true},        {"platformpluginpath", true},
    {"platformtheme", true},   {"plugin", true},
    {"qwindowgeometry", true}, {"qwindowtitle", true},
    {"qwindowicon", true},     {"style", true},
    {"stylesheet", true},      {"display", true},
    {"session", true},         {"reverse", false},
};

// `args` without the toolkit's own options.
QStringList withoutToolkitOptions(const QStringList& args) {
    QStringList out;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args.at(i);
        bool skipped = false;
        if (i > 0 && a.startsWith(QLatin1Char('-')) && !a.startsWith(QLatin1String("--"))) {
            const QString name = a.mid(1).section(QLatin1Char('='), 0, 0);
            for (const ToolkitOption& o : ToolkitOptions) {
                if (name == QLatin1String(o.name)) {
                    skipped = true;
                    if (o.hasValue && !a.contains(QLatin1Char('=')))
                        ++i;
                    break;
                }
            }
        }
        if (!skipped)
            out << a;
    }
    return out;
}

const QString FolderHelp = QStringLiteral(
    "Keep the settings, the key files and received files (in DIR/Recv) in DIR instead of "
    "the usual place. DIR is made when it does not exist.");

const QString UpnpHelp = QStringLiteral(
    "Ask the router whose UPnP description is at URL to open the port while waiting, "
    "instead of looking for the router on the network.");
const QString NatpmpHelp = QStringLiteral(
    "Ask the router at the IPv4 ADDRESS over NAT-PMP, instead of the default gateway.");
const QString NoDiscoveryHelp =
    QStringLiteral("Neither list the copies waiting on this network nor announce this one "
                   "while it waits.");

} // namespace

namespace {

// `text` in lines of at most `width` columns, broken at spaces; the first
// line starts with `first`, the others with as many spaces as it is long.
QString wrapped(const QString& first, const QString& text, int width = CommandLine::HelpWidth) {
    const QString indent(first.size(), QLatin1Char(' '));
    QString out;
    QString line = first;
    bool empty = true; // nothing but the line's start so far
    for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!empty && line.size() + 1 + word.size() > width) {
            out += line + QLatin1Char('\n');
            line = indent;
            empty = true;
        }
        if (!empty)
            line += QLatin1Char(' ');
        line += word;
        empty = false;
    }
    return out + line + QLatin1Char('\n');
}

} // namespace

QString CommandLine::helpText() {
    constexpr int column = 22; // where the options' descriptions start
    // An option too long for its column has its description on the lines
    // below.
    const auto option = [](const QString& name, const QString& help) {
        if (name.size() >= column)
            return name + QLatin1Char('\n') + wrapped(QString(column, QLatin1Char(' ')), help);
        return wrapped(name.leftJustified(column), help);
    };
    return QStringLiteral(
               "Usage: vantrel [--folder DIR] [--upnp-url URL] [--natpmp-gateway ADDRESS]\n"
               "               [--no-discovery]\n") +
           wrapped(QString(), QStringLiteral("Vantrel: chat and exchange files with one other "
                                             "person over a direct, encrypted connection.")) +
           QStringLiteral("\nOptions:\n") +
           option(QStringLiteral("  -h, --help"), QStringLiteral("Show this help and exit.")) +
           option(QStringLiteral("  -v, --version"), QStringLiteral("Show the version and exit.")) +
           option(QStringLiteral("  --folder DIR"), FolderHelp) +
           option(QStringLiteral("  --upnp-url URL"), UpnpHelp) +
           option(QStringLiteral("  --natpmp-gateway ADDRESS"), NatpmpHelp) +
           option(QStringLiteral("  --no-discovery"), NoDiscoveryHelp) + QStringLiteral("\n") +
           wrapped(QString(),
                   QStringLiteral("Without --folder, Vantrel keeps its files beside the program "
                                  "when that folder can be written to (received files in its Recv "
                                  "folder); otherwise in the user's data folder, with received "
                                  "files in the download folder, subfolder Vantrel.")) +
           QStringLiteral("\n") +
           wrapped(QString(),
                   QStringLiteral("When either router option is given, only the routers named "
                                  "are asked and nothing is looked for on the network. The router "
                                  "is asked only when Options > Open Port on Router is ticked."));
}

QString CommandLine::versionText() {
    return QStringLiteral("Vantrel " VANTREL_VERSION "\n");
}

CommandLine CommandLine::parse(const QStringList& args) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version."));
    const QCommandLineOption folder(QStringLiteral("folder"), FolderHelp, QStringLiteral("DIR"));
    parser.addOption(help);
    parser.addOption(version);
    parser.addOption(folder);
    const QCommandLineOption upnp(QStringLiteral("upnp-url"), UpnpHelp, QStringLiteral("URL"));
    const QCommandLineOption natpmp(QStringLiteral("natpmp-gateway"), NatpmpHelp,
                                    QStringLiteral("ADDRESS"));
    parser.addOption(upnp);
    parser.addOption(natpmp);
    const QCommandLineOption noDiscovery(QStringLiteral("no-discovery"), NoDiscoveryHelp);
    parser.addOption(noDiscovery);

    CommandLine result;
    if (!parser.parse(withoutToolkitOptions(args))) {
        result.action = Action::Error;
        result.error = parser.errorText();
        return result;
    }
    if (parser.isSet(help)) {
        result.action = Action::Help;
        return result;
    }
    if (parser.isSet(version)) {
        result.action = Action::Version;
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        result.action = Action::Error;
        result.error =
            QStringLiteral("Unexpected argument: %1").arg(parser.positionalArguments().first());
        return result;
    }
    result.discovery = !parser.isSet(noDiscovery);
    if (parser.isSet(upnp)) {
        result.upnpUrl = parser.value(upnp);
        const QUrl url(result.upnpUrl, QUrl::StrictMode);
        if (!url.isValid() || url.scheme() != QLatin1String("http") || url.host().isEmpty()) {
            result.action = Action::Error;
            result.error =
                QStringLiteral("--upnp-url needs an http:// URL, not '%1'.").arg(result.upnpUrl);
            return result;
        }
    }
    if (parser.isSet(natpmp)) {
        result.natpmpGateway = parser.value(natpmp);
        if (QHostAddress(result.natpmpGateway).protocol() != QAbstractSocket::IPv4Protocol) {
            result.action = Action::Error;
            result.error = QStringLiteral("--natpmp-gateway needs an IPv4 address, not '%1'.")
                               .arg(result.natpmpGateway);
            return result;
        }
    }
    if (parser.isSet(folder)) {
        result.folder = parser.value(folder);
        if (result.folder.isEmpty()) {
            result.action = Action::Error;
            result.error = QStringLiteral("--folder needs a folder name.");
        }
    }
    return result;
}
