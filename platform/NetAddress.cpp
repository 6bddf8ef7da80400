#include "platform/NetAddress.h"

#include <QHostAddress>
#include <QNetworkInterface>

namespace {

// The address a text names, brackets allowed around an IPv6 one; null when
// the text is no address.
QHostAddress parse(const QString& text) {
    QString t = text.trimmed();
    if (t.startsWith(QLatin1Char('[')) && t.endsWith(QLatin1Char(']')))
        t = t.mid(1, t.size() - 2);
    QHostAddress address;
    if (!address.setAddress(t))
        return {};
    return address;
}

} // namespace

namespace NetAddress {

QString canonical(const QString& typed) {
    const QString trimmed = typed.trimmed();
    const QHostAddress address = parse(trimmed);
    // Only IPv6 texts are rewritten: a dotted text goes into the keys as typed.
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return trimmed;
    return address.toString();
}

bool isLiteral(const QString& text) {
    return !parse(text).isNull();
}

bool sameAddress(const QString& a, const QString& b) {
    QHostAddress x = parse(a);
    QHostAddress y = parse(b);
    if (x.isNull() || y.isNull())
        return a == b;
    x.setScopeId(QString());
    y.setScopeId(QString());
    return x.isEqual(y, QHostAddress::TolerantConversion);
}

QList<Local> localAddresses() {
    QList<Local> reachable;
    QList<Local> loopback;
    for (const QNetworkInterface& iface : QNetworkInterface::allInterfaces()) {
        const auto flags = iface.flags();
        if (!(flags & QNetworkInterface::IsUp) || !(flags & QNetworkInterface::IsRunning))
            continue;
        for (const QNetworkAddressEntry& entry : iface.addressEntries()) {
            QHostAddress ip = entry.ip();
            const bool v4 = ip.protocol() == QAbstractSocket::IPv4Protocol;
            const bool v6 = ip.protocol() == QAbstractSocket::IPv6Protocol;
            if (ip.isLoopback() && (v4 || v6)) {
                loopback.append({ip.toString(), iface.name(), true});
                continue;
            }
            if (!v4 && !(v6 && ip.isGlobal()))
                continue; // link-local, multicast, unknown kinds
            ip.setScopeId(QString());
            reachable.append({ip.toString(), iface.name(), false});
        }
    }
    return reachable + loopback;
}

} // namespace NetAddress
