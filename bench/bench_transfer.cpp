// A 50 MB file sent between two peers over 127.0.0.1, against a bare socket
// ping-pong of 1004-byte messages and 3-byte replies: the limit of any
// stop-and-wait transfer on this machine.
#include "PeerFixture.h"
#include "protocol/Wire.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <benchmark/benchmark.h>
#include <cstdio>

namespace {

double g_transferMBs = 0;
double g_pingPongMBs = 0;

void BM_Transfer50MB(benchmark::State& state) {
    const qint64 size = 50LL * 1000 * 1000;
    for (auto _ : state) {
        Peer host, client;
        if (!connectPeers(host, client, freePort())) {
            state.SkipWithError("no connection");
            return;
        }
        const QString path = client.dir.filePath("big.bin");
        {
            QFile f(path);
            f.open(QIODevice::WriteOnly);
            QRandomGenerator rng(1);
            QByteArray chunk(1 << 20, '\0');
            for (qint64 left = size; left > 0; left -= chunk.size()) {
                for (char& c : chunk)
                    c = char(rng.bounded(256));
                f.write(chunk.left(qMin<qint64>(left, chunk.size())));
            }
        }
        // The fixture's record of every message would hold the whole file.
        QObject::disconnect(client.session.get(), &Session::messageSent, nullptr, nullptr);
        QObject::disconnect(host.session.get(), &Session::messageSent, nullptr, nullptr);
        // The announcement pause is not counted: the clock starts with the
        // first block.
        QElapsedTimer clock;
        QObject::connect(client.session.get(), &Session::messageSent, [&](const QByteArray& m) {
            if (wire::kindOf(m) == wire::Kind::Block && !clock.isValid())
                clock.start();
        });
        client.session->SendFile(path, Session::Confirm::Skip);
        if (!waitFor([&] { return host.view.status.contains("File Received."); }, 300000)) {
            state.SkipWithError("transfer did not finish");
            return;
        }
        const double secs = clock.nsecsElapsed() / 1e9;
        state.SetIterationTime(secs);
        g_transferMBs = size / 1e6 / secs;
        if (QFileInfo(host.dir.filePath("Recv/big.bin")).size() != size)
            state.SkipWithError("received file has the wrong size");
    }
    state.SetBytesProcessed(state.iterations() * size);
}

void BM_PingPong1004(benchmark::State& state) {
    const int rounds = 50000;
    for (auto _ : state) {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server.serverPort());
        if (!waitFor([&] { return server.hasPendingConnections(); }, 5000)) {
            state.SkipWithError("no connection");
            return;
        }
        QTcpSocket* peer = server.nextPendingConnection();
        waitFor([&] { return client.state() == QAbstractSocket::ConnectedState; }, 5000);
        client.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        peer->setSocketOption(QAbstractSocket::LowDelayOption, 1);

        const QByteArray block =
            wire::message(wire::Kind::Block, QByteArray(wire::kBlockSize, 'x'));
        const QByteArray ack = wire::message(wire::Kind::Ack);
        int done = 0;
        qint64 got = 0;
        QObject::connect(peer, &QTcpSocket::readyRead, [&] {
            got += peer->readAll().size();
            while (got >= block.size()) {
                got -= block.size();
                peer->write(ack);
            }
        });
        QObject::connect(&client, &QTcpSocket::readyRead, [&] {
            const qint64 n = client.readAll().size();
            for (qint64 i = 0; i < n / ack.size(); ++i) {
                if (++done < rounds)
                    client.write(block);
            }
        });
        QElapsedTimer clock;
        clock.start();
        client.write(block);
        if (!waitFor([&] { return done >= rounds; }, 300000)) {
            state.SkipWithError("ping-pong stalled");
            return;
        }
        const double secs = clock.nsecsElapsed() / 1e9;
        state.SetIterationTime(secs);
        g_pingPongMBs = rounds * double(wire::kBlockSize) / 1e6 / secs;
    }
    state.SetBytesProcessed(state.iterations() * rounds * qint64(wire::kBlockSize));
}

BENCHMARK(BM_Transfer50MB)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PingPong1004)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_transferMBs > 0 && g_pingPongMBs > 0)
        std::printf("file transfer %.1f MB/s, ping-pong payload %.1f MB/s, ratio %.2f\n",
                    g_transferMBs, g_pingPongMBs, g_transferMBs / g_pingPongMBs);
    return 0;
}
