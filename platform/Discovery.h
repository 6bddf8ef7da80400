#pragma once

#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>

// One copy of the program waiting for a connection on this network, as it
// announced itself.
struct WaitingCopy {
    // The name it is announced under; unique on the network.
    QString name;
    // The address text it shows as its own ("Your IP Addr"): the keys are
    // made from this text, so the connecting side uses it exactly.
    QString address;
    quint16 port = 0;
    // It offers secure connections.
    bool secure = false;
    QString version;
};
Q_DECLARE_METATYPE(WaitingCopy)

// What this copy announces while it waits for a connection.
struct Announcement {
    QString name;
    quint16 port = 0;
    QString address;
    bool secure = false;
    QString version;
};

// Finding the copies that wait on this network and announcing this one while
// it waits. Implementations deliver every signal on the GUI thread and never
// block it; a missing or stopped system service is a normal state, reported
// through availabilityChanged(), never an error.
class Discovery : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // The DNS-SD service type every copy is announced and looked for under.
    static constexpr const char* ServiceType = "_vantrel._tcp";
    // TXT record keys.
    static constexpr const char* VersionKey = "version";
    static constexpr const char* SecureKey = "secure";
    static constexpr const char* AddressKey = "addr";

    // Starts looking for waiting copies.
    virtual void start() = 0;
    // Announces this copy, or changes what it announces; kept until
    // withdraw(), and announced again whenever the service comes back.
    virtual void publish(const Announcement& announcement) = 0;
    virtual void withdraw() = 0;
    // Copies can be found and announced now.
    virtual bool isAvailable() const = 0;

signals:
    // A copy began waiting, or changed what it announces.
    void copyFound(const WaitingCopy& copy);
    // The copy of that name no longer waits.
    void copyLost(const QString& name);
    // Finding and announcing became possible or impossible; `why` says in
    // plain words why not.
    void availabilityChanged(bool available, const QString& why);
    // This copy is announced under `name` (another copy may have had the
    // name asked for).
    void published(const QString& name);
};
