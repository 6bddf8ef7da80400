#pragma once

#include <QObject>
#include <QString>

// What asking the home router to forward the listening port gave.
struct PortMapping {
    enum class Outcome {
        Forwarded, // the router forwards the port to this machine
        NoRouter,  // no router answered, or none that maps ports
        Taken,     // the router forwards that port to another machine already
    };
    Outcome outcome = Outcome::NoRouter;
    // The port asked for (the listening port, inside and outside).
    quint16 port = 0;
    // The router's own internet address and the port it forwards; the
    // address is empty when the router did not tell it.
    QString externalAddress;
    quint16 externalPort = 0;

    // The address cannot be reached from the internet: private (10/8,
    // 172.16/12, 192.168/16), carrier-grade (100.64/10), loopback,
    // link-local or unspecified.
    static bool isPrivateAddress(const QString& address);
    // The one status line that tells the user what came of it.
    QString statusLine() const;
};

// Asks the router in front of this machine to forward a TCP port while the
// program waits for a connection. The router's answers come back as the
// signal `finished`, queued to the thread that made the mapper; no call
// blocks its caller.
class PortMapper : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Asks for `port` to be forwarded to this machine; the mapping is kept
    // (renewed before its lease ends) until release(). Asking again for the
    // same port renews the mapping already made.
    virtual void open(quint16 port) = 0;
    // Removes the mapping, if there is one.
    virtual void release() = 0;

signals:
    void finished(const PortMapping& result);
};

Q_DECLARE_METATYPE(PortMapping)
