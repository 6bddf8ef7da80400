#include "platform/AvahiDiscovery.h"

#include <QMetaObject>

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/address.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>

namespace {

// At most 63 bytes of UTF-8, cut between characters.
QByteArray serviceName(const QString& name) {
    QString cut = name.simplified();
    while (cut.toUtf8().size() > 63)
        cut.chop(cut.size() >= 2 && cut.at(cut.size() - 1).isLowSurrogate() ? 2 : 1);
    return cut.toUtf8();
}

QString instanceKey(int iface, int protocol, const char* name, const char* domain) {
    return QStringLiteral("%1/%2/%3/%4")
        .arg(iface)
        .arg(protocol)
        .arg(QString::fromUtf8(name), QString::fromUtf8(domain));
}

// The value of `key` in a TXT record, if it is there.
std::optional<QString> txtValue(AvahiStringList* txt, const char* key) {
    AvahiStringList* item = avahi_string_list_find(txt, key);
    if (!item)
        return std::nullopt;
    char* k = nullptr;
    char* v = nullptr;
    size_t size = 0;
    if (avahi_string_list_get_pair(item, &k, &v, &size) < 0)
        return std::nullopt;
    const QString value = v ? QString::fromUtf8(v, qsizetype(size)) : QString();
    avahi_free(k);
    avahi_free(v);
    return value;
}

// A TXT record, or nullptr when it cannot be made; a value that would not
// fit in one TXT string is left out.
AvahiStringList* txtRecord(const Announcement& a) {
    AvahiStringList* txt = nullptr;
    auto add = [&](const char* key, const QString& value) {
        const QByteArray bytes = value.toUtf8();
        if (qsizetype(qstrlen(key)) + 1 + bytes.size() <= 255)
            txt = avahi_string_list_add_pair(txt, key, bytes.constData());
    };
    add(Discovery::VersionKey, a.version);
    add(Discovery::SecureKey, a.secure ? QStringLiteral("1") : QStringLiteral("0"));
    add(Discovery::AddressKey, a.address);
    return txt;
}

} // namespace

// The C callbacks, with the exact types Avahi calls them with.
struct AvahiEvents {
    static void client(AvahiClient* c, AvahiClientState state, void* self) {
        static_cast<AvahiDiscovery*>(self)->clientState(c, state);
    }
    static void group(AvahiEntryGroup* g, AvahiEntryGroupState state, void* self) {
        static_cast<AvahiDiscovery*>(self)->groupState(g, state);
    }
    static void browse(AvahiServiceBrowser*, AvahiIfIndex iface, AvahiProtocol protocol,
                       AvahiBrowserEvent event, const char* name, const char*, const char* domain,
                       AvahiLookupResultFlags, void* self) {
        auto* d = static_cast<AvahiDiscovery*>(self);
        switch (event) {
        case AVAHI_BROWSER_NEW:
            d->instanceFound(iface, protocol, name, domain);
            break;
        case AVAHI_BROWSER_REMOVE:
            d->instanceGone(iface, protocol, name, domain);
            break;
        case AVAHI_BROWSER_FAILURE:
            d->browseFailed();
            break;
        case AVAHI_BROWSER_CACHE_EXHAUSTED:
        case AVAHI_BROWSER_ALL_FOR_NOW:
            break;
        }
    }
    static void resolve(AvahiServiceResolver*, AvahiIfIndex, AvahiProtocol,
                        AvahiResolverEvent event, const char* name, const char*, const char*,
                        const char*, const AvahiAddress* address, uint16_t port,
                        AvahiStringList* txt, AvahiLookupResultFlags, void* self) {
        // A failed lookup (the copy did not answer in time) lists nothing;
        // the copy is looked at again if it announces itself again.
        if (event != AVAHI_RESOLVER_FOUND || !name)
            return;
        WaitingCopy copy;
        copy.name = QString::fromUtf8(name);
        copy.port = port;
        copy.version = txtValue(txt, Discovery::VersionKey).value_or(QString());
        copy.secure = txtValue(txt, Discovery::SecureKey).value_or(QString()) == "1";
        if (const std::optional<QString> shown = txtValue(txt, Discovery::AddressKey))
            copy.address = *shown;
        else if (address) {
            // A copy that does not say which address it shows: the one it
            // was found at.
            char text[AVAHI_ADDRESS_STR_MAX];
            avahi_address_snprint(text, sizeof text, address);
            copy.address = QString::fromLatin1(text);
        }
        static_cast<AvahiDiscovery*>(self)->instanceResolved(copy.name, copy);
    }
};

AvahiDiscovery::AvahiDiscovery(QObject* parent) : Discovery(parent) {}

AvahiDiscovery::~AvahiDiscovery() {
    // Frees the entry group, the browser and the resolvers with it; the
    // daemon withdraws the announcement.
    if (m_client)
        avahi_client_free(m_client);
}

void AvahiDiscovery::start() {
    if (m_started)
        return;
    m_started = true;
    connectClient();
}

void AvahiDiscovery::connectClient() {
    int error = 0;
    // Without the daemon the client waits for it to appear; without a
    // system bus it cannot even do that.
    m_client =
        avahi_client_new(m_poll.poll(), AVAHI_CLIENT_NO_FAIL, AvahiEvents::client, this, &error);
    if (!m_client)
        setAvailable(false, error == AVAHI_ERR_NO_DAEMON
                                ? QStringLiteral("the avahi-daemon service is not running")
                                : QString::fromUtf8(avahi_strerror(error)));
}

void AvahiDiscovery::clientState(AvahiClient* client, int state) {
    // Called from inside avahi_client_new() too, before m_client is set.
    switch (AvahiClientState(state)) {
    case AVAHI_CLIENT_S_RUNNING:
        m_client = client;
        setAvailable(true, QString());
        if (!m_browser)
            m_browser =
                avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, ServiceType,
                                          nullptr, AvahiLookupFlags(0), AvahiEvents::browse, this);
        if (!m_browser)
            browseFailed();
        announce();
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The machine's host name changes; announced again once running.
        if (m_group)
            avahi_entry_group_reset(m_group);
        m_nameInUse.clear();
        break;
    case AVAHI_CLIENT_CONNECTING:
        dropAll();
        setAvailable(false, QStringLiteral("the avahi-daemon service is not running"));
        break;
    case AVAHI_CLIENT_FAILURE: {
        const bool gone = avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED;
        dropAll();
        setAvailable(false, gone ? QStringLiteral("the avahi-daemon service stopped")
                                 : QString::fromUtf8(avahi_strerror(avahi_client_errno(client))));
        // Not from inside the client's own callback: the client is freed and
        // made again (waiting for the daemon) once this has returned.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_client)
                    avahi_client_free(m_client);
                m_client = nullptr;
                connectClient();
            },
            Qt::QueuedConnection);
        break;
    }
    }
}

void AvahiDiscovery::dropAll() {
    // The client frees these objects itself; only our pointers go.
    forgetCopies(false);
    m_group = nullptr;
    m_browser = nullptr;
    m_nameInUse.clear();
}

void AvahiDiscovery::forgetCopies(bool freeResolvers) {
    QStringList names;
    for (const Instance& i : std::as_const(m_instances)) {
        if (freeResolvers)
            avahi_service_resolver_free(i.resolver);
        if (!names.contains(i.name))
            names << i.name;
    }
    m_instances.clear();
    for (const QString& name : names)
        emit copyLost(name);
}

void AvahiDiscovery::setAvailable(bool available, const QString& why) {
    if (m_available == int(available))
        return;
    m_available = int(available);
    emit availabilityChanged(available, why);
}

void AvahiDiscovery::publish(const Announcement& announcement) {
    m_wanted = announcement;
    announce();
}

void AvahiDiscovery::withdraw() {
    m_wanted.reset();
    if (m_group)
        avahi_entry_group_free(m_group);
    m_group = nullptr;
    m_nameInUse.clear();
}

// Puts m_wanted into the entry group: the TXT record alone when the name and
// port stay, otherwise the whole entry again.
void AvahiDiscovery::announce() {
    if (!m_wanted || !m_client || avahi_client_get_state(m_client) != AVAHI_CLIENT_S_RUNNING)
        return;
    if (!m_group)
        m_group = avahi_entry_group_new(m_client, AvahiEvents::group, this);
    if (!m_group)
        return;
    AvahiStringList* txt = txtRecord(*m_wanted);
    if (!m_nameInUse.isEmpty() && m_portInUse == m_wanted->port &&
        !avahi_entry_group_is_empty(m_group)) {
        avahi_entry_group_update_service_txt_strlst(
            m_group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
            m_nameInUse.toUtf8().constData(), ServiceType, nullptr, txt);
        avahi_string_list_free(txt);
        return;
    }
    if (m_nameInUse.isEmpty())
        m_nameInUse = QString::fromUtf8(serviceName(m_wanted->name));
    avahi_entry_group_reset(m_group);
    m_portInUse = m_wanted->port;
    // A name this machine announces already (another copy here) is refused
    // at once; the next free one is tried.
    for (int tries = 0; tries < 32; ++tries) {
        const int result = avahi_entry_group_add_service_strlst(
            m_group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
            m_nameInUse.toUtf8().constData(), ServiceType, nullptr, nullptr, m_portInUse, txt);
        if (result == AVAHI_ERR_COLLISION) {
            takeAlternativeName();
            continue;
        }
        if (result == 0)
            avahi_entry_group_commit(m_group);
        break;
    }
    avahi_string_list_free(txt);
}

void AvahiDiscovery::takeAlternativeName() {
    char* other = avahi_alternative_service_name(m_nameInUse.toUtf8().constData());
    m_nameInUse = QString::fromUtf8(other);
    avahi_free(other);
}

void AvahiDiscovery::groupState(AvahiEntryGroup* group, int state) {
    if (group != m_group && m_group)
        return;
    switch (AvahiEntryGroupState(state)) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
        emit published(m_nameInUse);
        break;
    case AVAHI_ENTRY_GROUP_COLLISION: {
        // Another copy on the network has the name: the next free one
        // ("name #2", ...).
        takeAlternativeName();
        m_portInUse = 0;
        QMetaObject::invokeMethod(this, &AvahiDiscovery::announce, Qt::QueuedConnection);
        break;
    }
    case AVAHI_ENTRY_GROUP_FAILURE:
    case AVAHI_ENTRY_GROUP_UNCOMMITED:
    case AVAHI_ENTRY_GROUP_REGISTERING:
        break;
    }
}

// The client still runs (and keeps the announcement); only looking for
// copies has stopped.
void AvahiDiscovery::browseFailed() {
    forgetCopies(true);
    if (m_browser)
        avahi_service_browser_free(m_browser);
    m_browser = nullptr;
    if (m_client)
        setAvailable(false, QString::fromUtf8(avahi_strerror(avahi_client_errno(m_client))));
}

void AvahiDiscovery::instanceFound(int iface, int protocol, const char* name, const char* domain) {
    const QString key = instanceKey(iface, protocol, name, domain);
    if (m_instances.contains(key) || m_instances.size() >= MaxInstances)
        return;
    Instance instance;
    instance.name = QString::fromUtf8(name);
    instance.resolver = avahi_service_resolver_new(m_client, iface, protocol, name, ServiceType,
                                                   domain, AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0),
                                                   AvahiEvents::resolve, this);
    if (instance.resolver)
        m_instances.insert(key, instance);
}

void AvahiDiscovery::instanceGone(int iface, int protocol, const char* name, const char* domain) {
    const auto it = m_instances.constFind(instanceKey(iface, protocol, name, domain));
    if (it == m_instances.constEnd())
        return;
    const QString copyName = it->name;
    avahi_service_resolver_free(it->resolver);
    m_instances.erase(it);
    // Gone when no interface or protocol carries it any more.
    for (const Instance& i : std::as_const(m_instances))
        if (i.name == copyName)
            return;
    emit copyLost(copyName);
}

void AvahiDiscovery::instanceResolved(const QString& name, const WaitingCopy& copy) {
    // This copy's own announcement is not listed.
    if (m_group && name == m_nameInUse)
        return;
    emit copyFound(copy);
}
