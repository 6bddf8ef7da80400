#pragma once

#include <QHostAddress>
#include <QMap>
#include <QMutex>
#include <QPointer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QUdpSocket>
#include <QtEndian>

// A home router on loopback for the port-mapping tests: a UPnP Internet
// Gateway Device (description and SOAP control over HTTP on 127.0.0.1) that
// answers AddPortMapping, GetExternalIPAddress and DeletePortMapping. It
// serves from a thread of its own, so that it answers while the test's
// thread waits for the program (which removes its mapping when it ends).
class FakeIgd : public QObject {
public:
    struct Call {
        QString action;
        QMap<QString, QString> args; // NewExternalPort -> "7777", ...
    };

    // Set before the router is asked.
    QString externalAddress = QStringLiteral("203.0.113.7");
    // Every AddPortMapping is refused with this UPnP error (0: accepted).
    int addError = 0;
    // AddPortMapping with a lease other than 0 is refused with 725.
    bool permanentOnly = false;

    ~FakeIgd() override {
        m_thread.quit();
        m_thread.wait();
    }
    bool start() {
        m_server.moveToThread(&m_thread);
        moveToThread(&m_thread);
        m_thread.start();
        bool listening = false;
        QMetaObject::invokeMethod(
            this,
            [this, &listening] {
                QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
                    while (QTcpSocket* s = m_server.nextPendingConnection())
                        QObject::connect(s, &QTcpSocket::readyRead, this, [this, s] { serve(s); });
                });
                listening = m_server.listen(QHostAddress::LocalHost);
                m_port = m_server.serverPort();
            },
            Qt::BlockingQueuedConnection);
        return listening;
    }
    QString descriptionUrl() const {
        return QStringLiteral("http://127.0.0.1:%1/rootDesc.xml").arg(m_port);
    }
    QList<Call> callsTo(const QString& action) const {
        QMutexLocker lock(&m_mutex);
        QList<Call> found;
        for (const Call& c : m_calls)
            if (c.action == action)
                found << c;
        return found;
    }

private:
    QThread m_thread;
    QTcpServer m_server;
    quint16 m_port = 0;
    mutable QMutex m_mutex;
    QList<Call> m_calls;
    QMap<QTcpSocket*, QByteArray> m_pending;

    static constexpr const char* Service = "urn:schemas-upnp-org:service:WANIPConnection:1";

    void serve(QTcpSocket* s) {
        QByteArray& in = m_pending[s];
        in += s->readAll();
        const qsizetype headerEnd = in.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        const QByteArray header = in.left(headerEnd);
        static const QRegularExpression lengthField(QStringLiteral("content-length:\\s*(\\d+)"),
                                                    QRegularExpression::CaseInsensitiveOption);
        const auto length = lengthField.match(QString::fromLatin1(header));
        const qsizetype bodySize = length.hasMatch() ? length.captured(1).toLongLong() : 0;
        if (in.size() < headerEnd + 4 + bodySize)
            return;
        const QString body = QString::fromUtf8(in.mid(headerEnd + 4, bodySize));
        m_pending.remove(s);
        if (header.startsWith("GET "))
            reply(s, 200, description());
        else
            reply(s, control(QString::fromLatin1(header), body));
    }

    void reply(QTcpSocket* s, const QPair<int, QByteArray>& answer) {
        reply(s, answer.first, answer.second);
    }
    void reply(QTcpSocket* s, int status, const QByteArray& body) {
        s->write(QStringLiteral("HTTP/1.1 %1 %2\r\nContent-Type: text/xml; charset=\"utf-8\"\r\n"
                                "Connection: close\r\nContent-Length: %3\r\n\r\n")
                     .arg(status)
                     .arg(status == 200 ? "OK" : "Internal Server Error")
                     .arg(body.size())
                     .toLatin1() +
                 body);
        s->disconnectFromHost();
        QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
    }

    QPair<int, QByteArray> control(const QString& header, const QString& body) {
        static const QRegularExpression actionField(
            QStringLiteral("SOAPAction:\\s*\"?[^#]*#(\\w+)"),
            QRegularExpression::CaseInsensitiveOption);
        static const QRegularExpression argument(QStringLiteral("<(New\\w+)>([^<]*)</\\1>"));
        Call call{actionField.match(header).captured(1), {}};
        for (auto m = argument.globalMatch(body); m.hasNext();) {
            const auto a = m.next();
            call.args.insert(a.captured(1), a.captured(2));
        }
        {
            QMutexLocker lock(&m_mutex);
            m_calls << call;
        }
        QString out;
        if (call.action == QLatin1String("AddPortMapping")) {
            if (addError)
                return fault(addError);
            if (permanentOnly && call.args.value(QStringLiteral("NewLeaseDuration")) != "0")
                return fault(725);
        } else if (call.action == QLatin1String("GetExternalIPAddress")) {
            out = QStringLiteral("<NewExternalIPAddress>%1</NewExternalIPAddress>")
                      .arg(externalAddress);
        }
        return {200, envelope(QStringLiteral("<u:%1Response xmlns:u=\"%2\">%3</u:%1Response>")
                                  .arg(call.action, QLatin1String(Service), out))};
    }

    static QPair<int, QByteArray> fault(int code) {
        return {500, envelope(QStringLiteral(
                                  "<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError"
                                  "</faultstring><detail><UPnPError xmlns=\"urn:schemas-upnp-org:"
                                  "control-1-0\"><errorCode>%1</errorCode><errorDescription>"
                                  "refused</errorDescription></UPnPError></detail></s:Fault>")
                                  .arg(code))};
    }
    static QByteArray envelope(const QString& inside) {
        return QStringLiteral("<?xml version=\"1.0\"?>\r\n<s:Envelope "
                              "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                              "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
                              "<s:Body>%1</s:Body></s:Envelope>")
            .arg(inside)
            .toUtf8();
    }
    static QByteArray description() {
        return QStringLiteral(
                   "<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\">"
                   "<specVersion><major>1</major><minor>0</minor></specVersion><device>"
                   "<deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>"
                   "<friendlyName>Test router</friendlyName><deviceList><device>"
                   "<deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType>"
                   "<serviceList><service><serviceType>urn:schemas-upnp-org:service:"
                   "WANCommonInterfaceConfig:1</serviceType><serviceId>urn:upnp-org:serviceId:"
                   "WANCommonIFC1</serviceId><controlURL>/ctl/CmnIfCfg</controlURL>"
                   "<eventSubURL>/evt/CmnIfCfg</eventSubURL><SCPDURL>/WANCfg.xml</SCPDURL>"
                   "</service></serviceList><deviceList><device><deviceType>urn:schemas-upnp-"
                   "org:device:WANConnectionDevice:1</deviceType><serviceList><service>"
                   "<serviceType>%1</serviceType><serviceId>urn:upnp-org:serviceId:WANIPConn1"
                   "</serviceId><controlURL>/ctl/IPConn</controlURL><eventSubURL>/evt/IPConn"
                   "</eventSubURL><SCPDURL>/WANIPCn.xml</SCPDURL></service></serviceList>"
                   "</device></deviceList></device></deviceList></device></root>")
            .arg(QLatin1String(Service))
            .toUtf8();
    }
};

// A NAT-PMP gateway on a loopback address (port 5351): answers the public
// address request and TCP mapping requests, granting what was asked.
class FakeNatpmp : public QObject {
public:
    struct Request {
        int opcode; // 0 public address, 2 TCP mapping
        quint16 privatePort;
        quint16 publicPort;
        quint32 lifetime;
    };
    QList<Request> requests;
    QHostAddress externalAddress{QStringLiteral("203.0.113.9")};

    static constexpr quint16 Port = 5351;

    bool start(const QHostAddress& address) {
        QObject::connect(&m_socket, &QUdpSocket::readyRead, this, [this] { serve(); });
        return m_socket.bind(address, Port);
    }
    QString errorString() const { return m_socket.errorString(); }
    QList<Request> mappings() const {
        QList<Request> found;
        for (const Request& r : requests)
            if (r.opcode == 2)
                found << r;
        return found;
    }

private:
    QUdpSocket m_socket;

    void serve() {
        while (m_socket.hasPendingDatagrams()) {
            QHostAddress from;
            quint16 fromPort = 0;
            QByteArray in(int(m_socket.pendingDatagramSize()), '\0');
            m_socket.readDatagram(in.data(), in.size(), &from, &fromPort);
            if (in.size() < 2 || in[0] != 0)
                continue;
            const auto* b = reinterpret_cast<const uchar*>(in.constData());
            QByteArray out(2, '\0');
            out[1] = char(128 + b[1]);
            out += QByteArray(6, '\0'); // result 0, epoch 0
            if (b[1] == 0 && in.size() == 2) {
                requests << Request{0, 0, 0, 0};
                out.resize(12);
                qToBigEndian<quint32>(externalAddress.toIPv4Address(), out.data() + 8);
            } else if (b[1] == 2 && in.size() == 12) {
                const Request r{2, qFromBigEndian<quint16>(b + 4), qFromBigEndian<quint16>(b + 6),
                                qFromBigEndian<quint32>(b + 8)};
                requests << r;
                out.resize(16);
                qToBigEndian<quint16>(r.privatePort, out.data() + 8);
                qToBigEndian<quint16>(r.lifetime ? r.privatePort : 0, out.data() + 10);
                qToBigEndian<quint32>(r.lifetime, out.data() + 12);
            } else {
                continue;
            }
            m_socket.writeDatagram(out, from, fromPort);
        }
    }
};
