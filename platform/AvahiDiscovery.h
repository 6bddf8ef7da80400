#pragma once

#include "platform/AvahiPoll.h"
#include "platform/Discovery.h"

#include <QHash>
#include <optional>

struct AvahiClient;
struct AvahiEntryGroup;
struct AvahiServiceBrowser;
struct AvahiServiceResolver;

// Discovery through the system's avahi-daemon (over D-Bus): the daemon does
// the multicast DNS; this side only talks to it, on the GUI thread's event
// loop. When the daemon is missing or stops, discovery is off until it comes
// back; the announcement of a waiting copy is made again then.
class AvahiDiscovery : public Discovery {
    Q_OBJECT
public:
    explicit AvahiDiscovery(QObject* parent = nullptr);
    ~AvahiDiscovery() override;

    void start() override;
    void publish(const Announcement& announcement) override;
    void withdraw() override;
    bool isAvailable() const override { return m_available == 1; }

    // Services of our type followed at once (one per name, interface and
    // protocol); further announcements are not looked at until one goes.
    static constexpr int MaxInstances = 256;

private:
    struct Instance {
        AvahiServiceResolver* resolver = nullptr;
        QString name;
    };

    // Avahi's callbacks, which forward to the members below.
    friend struct AvahiEvents;

    void clientState(AvahiClient* client, int state);
    void connectClient();
    // Everything the daemon held for us is gone: announcements, browsing.
    void dropAll();
    // Every copy followed is forgotten and reported gone; with
    // `freeResolvers` their lookups end too (the client stays).
    void forgetCopies(bool freeResolvers);
    void setAvailable(bool available, const QString& why);
    void announce();
    void takeAlternativeName();
    void groupState(AvahiEntryGroup* group, int state);
    void browseFailed();
    void instanceFound(int iface, int protocol, const char* name, const char* domain);
    void instanceGone(int iface, int protocol, const char* name, const char* domain);
    void instanceResolved(const QString& name, const WaitingCopy& copy);

    QtAvahiPoll m_poll;
    AvahiClient* m_client = nullptr;
    AvahiEntryGroup* m_group = nullptr;
    AvahiServiceBrowser* m_browser = nullptr;
    bool m_started = false;
    // -1 not known yet, 0 off, 1 on.
    int m_available = -1;
    std::optional<Announcement> m_wanted;
    // The name and port the entry group holds now.
    QString m_nameInUse;
    quint16 m_portInUse = 0;
    QHash<QString, Instance> m_instances;
};
