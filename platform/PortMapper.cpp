#include "platform/PortMapper.h"

#include <QHostAddress>

bool PortMapping::isPrivateAddress(const QString& address) {
    QHostAddress a(address);
    bool isV4 = false;
    const quint32 v4 = a.toIPv4Address(&isV4);
    if (!isV4)
        return a.isNull() || a.isLoopback() || a.isLinkLocal() || a.isUniqueLocalUnicast();
    struct Range {
        quint32 net;
        int bits;
    };
    constexpr Range NotOnTheInternet[] = {
        {0x00000000, 8},  {0x0A000000, 8},  {0x64400000, 10}, {0x7F000000, 8},
        {0xA9FE0000, 16}, {0xAC100000, 12}, {0xC0A80000, 16},
    };
    for (const Range& r : NotOnTheInternet)
        if ((v4 >> (32 - r.bits)) == (r.net >> (32 - r.bits)))
            return true;
    return false;
}

QString PortMapping::statusLine() const {
    switch (outcome) {
    case Outcome::Forwarded:
        if (externalAddress.isEmpty())
            return QStringLiteral("The router forwards port %1 to this computer; it did not tell "
                                  "its internet address.")
                .arg(externalPort);
        if (isPrivateAddress(externalAddress))
            return QStringLiteral(
                       "The router forwards port %1, but its own address %2 is not on the "
                       "internet (the provider shares one address among many customers), so "
                       "this does not make this side reachable. Let the other person wait for "
                       "the connection and connect to them instead.")
                .arg(externalPort)
                .arg(externalAddress);
        return QStringLiteral(
                   "Reachable from the internet at %1:%2 (the router forwards the port).")
            .arg(externalAddress)
            .arg(externalPort);
    case Outcome::Taken:
        return QStringLiteral("The port could not be opened on the router automatically: the "
                              "router already forwards port %1 to another computer.")
            .arg(port);
    case Outcome::NoRouter:
        break;
    }
    return QStringLiteral("The port could not be opened on the router automatically.");
}
