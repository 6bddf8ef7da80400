#include "platform/RouterPortMapper.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <poll.h>

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <natpmp.h>

namespace {

// The UPnP errors the mapper answers itself.
constexpr int ConflictInMappingEntry = 718;
constexpr int OnlyPermanentLeasesSupported = 725;
// Where UPnP discovery sends its question.
const char* const DiscoveryGroup = "239.255.255.250";

} // namespace

// Lives on the mapper's thread; every call may block for a few seconds.
class RouterWorker : public QObject {
    Q_OBJECT
public:
    explicit RouterWorker(const RouterTarget& target) : m_target(target) {
        std::memset(&m_urls, 0, sizeof m_urls);
        std::memset(&m_data, 0, sizeof m_data);
        m_renewal = new QTimer(this);
        m_renewal->setSingleShot(true);
        connect(m_renewal, &QTimer::timeout, this, &RouterWorker::renew);
    }
    ~RouterWorker() override { dropIgd(); }

    std::atomic<int> leaseSeconds{RouterPortMapper::DefaultLeaseSeconds};

    QStringList contacted() const {
        QMutexLocker lock(&m_contactedMutex);
        return m_contacted;
    }

    void open(quint16 port);
    void release();

signals:
    void finished(const PortMapping& result);

private:
    enum class Via { None, Upnp, Natpmp };

    void note(const QString& address);
    void renew();
    void renewIn(int seconds);

    bool findIgd();
    void dropIgd();
    int upnpAdd(quint16 port, int lease);
    bool mapUpnp(quint16 port, PortMapping& result, bool& taken);

    // One NAT-PMP mapping request (lifetime 0 removes it); the router's
    // answer in `answer`. `external` (when given) gets the router's
    // internet address first. Negative: a libnatpmp error.
    int natpmpMap(quint16 port, int lifetime, natpmpresp_t& answer, QString* external);
    int natpmpAnswer(natpmp_t& n, natpmpresp_t& answer);
    bool mapNatpmp(quint16 port, PortMapping& result);

    const RouterTarget m_target;
    mutable QMutex m_contactedMutex;
    QStringList m_contacted;

    Via m_via = Via::None;
    quint16 m_port = 0;
    // The lease asked for last (UPnP: 0 is permanent).
    int m_lease = 0;
    PortMapping m_last;
    QTimer* m_renewal = nullptr;

    bool m_haveIgd = false;
    UPNPUrls m_urls;
    IGDdatas m_data;
    char m_lanAddress[64] = {};
};

void RouterWorker::note(const QString& address) {
    QMutexLocker lock(&m_contactedMutex);
    m_contacted << address;
}

void RouterWorker::open(quint16 port) {
    if (m_via != Via::None && port == m_port) {
        renew();
        emit finished(m_last);
        return;
    }
    release();
    PortMapping result;
    result.port = port;
    bool taken = false;
    if (mapUpnp(port, result, taken))
        m_via = Via::Upnp;
    else if (mapNatpmp(port, result))
        m_via = Via::Natpmp;
    else
        result.outcome = taken ? PortMapping::Outcome::Taken : PortMapping::Outcome::NoRouter;
    m_port = port;
    m_last = result;
    emit finished(result);
}

void RouterWorker::release() {
    m_renewal->stop();
    if (m_via == Via::Upnp) {
        note(QUrl(QString::fromLatin1(m_urls.controlURL)).host());
        UPNP_DeletePortMapping(m_urls.controlURL, m_data.first.servicetype,
                               QByteArray::number(m_port).constData(), "TCP", nullptr);
        dropIgd();
    } else if (m_via == Via::Natpmp) {
        natpmpresp_t answer;
        natpmpMap(m_port, 0, answer, nullptr);
    }
    m_via = Via::None;
}

// The same mapping asked for again; a router that does not answer now may
// answer at the next try.
void RouterWorker::renew() {
    if (m_via == Via::Upnp) {
        note(QUrl(QString::fromLatin1(m_urls.controlURL)).host());
        upnpAdd(m_port, m_lease);
        renewIn(m_lease);
    } else if (m_via == Via::Natpmp) {
        natpmpresp_t answer;
        const int r = natpmpMap(m_port, m_lease, answer, nullptr);
        renewIn(r < 0 ? m_lease : int(answer.pnu.newportmapping.lifetime));
    }
}

// At half the lease; a permanent mapping is never renewed.
void RouterWorker::renewIn(int seconds) {
    if (seconds > 0)
        m_renewal->start(qMax(1000, seconds * 500));
}

// ------------------------------------------------------------------ UPnP

bool RouterWorker::findIgd() {
    std::memset(&m_urls, 0, sizeof m_urls);
    std::memset(&m_data, 0, sizeof m_data);
    bool found = false;
    if (!m_target.upnpUrl.isEmpty()) {
        note(QUrl(m_target.upnpUrl).host());
        found = UPNP_GetIGDFromUrl(m_target.upnpUrl.toUtf8().constData(), &m_urls, &m_data,
                                   m_lanAddress, sizeof m_lanAddress) == 1;
    } else if (m_target.discovers()) {
        note(QString::fromLatin1(DiscoveryGroup));
        int error = 0;
        UPNPDev* devices = upnpDiscover(RouterPortMapper::AnswerWaitMs, nullptr, nullptr,
                                        UPNP_LOCAL_PORT_ANY, 0, 2, &error);
        if (devices) {
#if MINIUPNPC_API_VERSION >= 18
            char wan[64] = {};
            const int r = UPNP_GetValidIGD(devices, &m_urls, &m_data, m_lanAddress,
                                           sizeof m_lanAddress, wan, sizeof wan);
            // 2: connected, with an address not on the internet; the user
            // is told so from the external address.
            found = r == 1 || r == 2;
#else
            found =
                UPNP_GetValidIGD(devices, &m_urls, &m_data, m_lanAddress, sizeof m_lanAddress) == 1;
#endif
            freeUPNPDevlist(devices);
        }
    }
    m_haveIgd = true; // the URLs are freed either way
    if (!found)
        dropIgd();
    return found;
}

void RouterWorker::dropIgd() {
    if (m_haveIgd)
        FreeUPNPUrls(&m_urls);
    m_haveIgd = false;
}

int RouterWorker::upnpAdd(quint16 port, int lease) {
    const QByteArray portText = QByteArray::number(port);
    return UPNP_AddPortMapping(m_urls.controlURL, m_data.first.servicetype, portText.constData(),
                               portText.constData(), m_lanAddress, RouterPortMapper::Description,
                               "TCP", nullptr, QByteArray::number(lease).constData());
}

bool RouterWorker::mapUpnp(quint16 port, PortMapping& result, bool& taken) {
    if (!findIgd())
        return false;
    note(QUrl(QString::fromLatin1(m_urls.controlURL)).host());
    m_lease = leaseSeconds;
    int r = upnpAdd(port, m_lease);
    if (r == OnlyPermanentLeasesSupported && m_lease != 0) {
        // Permanent then; it is removed when the wait ends all the same.
        m_lease = 0;
        r = upnpAdd(port, m_lease);
    }
    if (r != UPNPCOMMAND_SUCCESS) {
        taken = r == ConflictInMappingEntry;
        dropIgd();
        return false;
    }
    char external[64] = {};
    if (UPNP_GetExternalIPAddress(m_urls.controlURL, m_data.first.servicetype, external) ==
        UPNPCOMMAND_SUCCESS)
        result.externalAddress = QString::fromLatin1(external);
    result.outcome = PortMapping::Outcome::Forwarded;
    result.externalPort = port;
    renewIn(m_lease);
    return true;
}

// --------------------------------------------------------------- NAT-PMP

int RouterWorker::natpmpAnswer(natpmp_t& n, natpmpresp_t& answer) {
    const QDeadlineTimer deadline(RouterPortMapper::AnswerWaitMs);
    int r = NATPMP_TRYAGAIN;
    while (r == NATPMP_TRYAGAIN && !deadline.hasExpired()) {
        timeval retry{};
        getnatpmprequesttimeout(&n, &retry);
        const qint64 retryMs = qint64(retry.tv_sec) * 1000 + retry.tv_usec / 1000;
        const qint64 waitMs =
            std::clamp<qint64>(std::min<qint64>(retryMs, deadline.remainingTime()), 0, 1000);
        pollfd fd{n.s, POLLIN, 0};
        poll(&fd, 1, int(waitMs));
        r = readnatpmpresponseorretry(&n, &answer);
    }
    return r;
}

int RouterWorker::natpmpMap(quint16 port, int lifetime, natpmpresp_t& answer, QString* external) {
    in_addr_t gateway = 0;
    const bool named = !m_target.natpmpGateway.isEmpty();
    if (named) {
        bool ok = false;
        const quint32 v4 = QHostAddress(m_target.natpmpGateway).toIPv4Address(&ok);
        if (!ok)
            return NATPMP_ERR_INVALIDARGS;
        gateway = htonl(v4);
    } else if (!m_target.discovers()) {
        return NATPMP_ERR_CANNOTGETGATEWAY; // only the UPnP router was named
    }
    natpmp_t n;
    int r = initnatpmp(&n, named ? 1 : 0, gateway);
    if (r < 0)
        return r;
    note(QHostAddress(quint32(ntohl(n.gateway))).toString());
    if (external) {
        r = sendpublicaddressrequest(&n);
        if (r >= 0)
            r = natpmpAnswer(n, answer);
        if (r >= 0 && answer.type == NATPMP_RESPTYPE_PUBLICADDRESS)
            *external =
                QHostAddress(quint32(ntohl(answer.pnu.publicaddress.addr.s_addr))).toString();
    }
    if (r >= 0) {
        // Removing asks for lifetime 0 and external port 0.
        r = sendnewportmappingrequest(&n, NATPMP_PROTOCOL_TCP, port, lifetime > 0 ? port : 0,
                                      uint32_t(lifetime));
        if (r >= 0)
            r = natpmpAnswer(n, answer);
    }
    closenatpmp(&n);
    return r;
}

bool RouterWorker::mapNatpmp(quint16 port, PortMapping& result) {
    // NAT-PMP has no permanent mappings: a lifetime of 0 would remove it.
    m_lease = qMax(1, int(leaseSeconds));
    natpmpresp_t answer;
    QString external;
    if (natpmpMap(port, m_lease, answer, &external) < 0 ||
        answer.type != NATPMP_RESPTYPE_TCPPORTMAPPING)
        return false;
    result.outcome = PortMapping::Outcome::Forwarded;
    result.externalAddress = external;
    result.externalPort = answer.pnu.newportmapping.mappedpublicport;
    renewIn(int(answer.pnu.newportmapping.lifetime));
    return true;
}

// ------------------------------------------------------------ the mapper

RouterPortMapper::RouterPortMapper(const RouterTarget& target, QObject* parent)
    : PortMapper(parent), m_thread(new QThread(this)), m_worker(new RouterWorker(target)) {
    m_thread->setObjectName(QStringLiteral("router"));
    m_worker->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_worker, &RouterWorker::finished, this, &PortMapper::finished);
    m_thread->start();
}

RouterPortMapper::~RouterPortMapper() {
    // The mapping goes before the program does.
    QMetaObject::invokeMethod(m_worker, &RouterWorker::release, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
}

void RouterPortMapper::open(quint16 port) {
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker, port] { worker->open(port); }, Qt::QueuedConnection);
}

void RouterPortMapper::release() {
    QMetaObject::invokeMethod(m_worker, &RouterWorker::release, Qt::QueuedConnection);
}

void RouterPortMapper::setLeaseSeconds(int seconds) {
    m_worker->leaseSeconds = seconds;
}

QStringList RouterPortMapper::contactedAddresses() const {
    return m_worker->contacted();
}

#include "RouterPortMapper.moc"
