// Every case of the stored engine vectors, reproduced byte for byte.

#include <QTemporaryDir>
#include <QtTest>

#include "EngineTestSupport.h"
#include "engine/SDK.h"
#include "protocol/KeySeed.h"

using namespace enginetest;

class TstEngineVectors : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(VectorSeeds().size() >= 6); }
    void keys_data();
    void keys();
    void messages_data();
    void messages();
};

void TstEngineVectors::keys_data() {
    QTest::addColumn<QJsonObject>("v");
    for (const auto& entry : VectorSeeds())
        QTest::newRow(entry.toObject()["seed"].toString().left(20).toLatin1()) << entry.toObject();
}

void TstEngineVectors::keys() {
    QFETCH(QJsonObject, v);
    const std::string seedText = v["seed"].toString().toStdString();
    if (!v["host"].isNull())
        QCOMPARE(
            MakeSeedText(v["host"].toString().toStdString(), v["client"].toString().toStdString())
                .value(),
            seedText);
    QVERIFY(SeedTextUsable(seedText));

    QTemporaryDir dir;
    SDK sdk(dir.path().toStdString());
    std::string seed = seedText;
    const EngineResult made = sdk.CreateKeys(seed);
    QVERIFY2(made.ok, made.error.c_str());

    QCOMPARE(sdk.SeedCount(), v["seed_count"].toInt());
    const QJsonArray first = v["seed_table_first100"].toArray();
    for (int i = 0; i < first.size(); ++i)
        QCOMPARE(int(sdk.SeedTable()[i + 1]), first[i].toInt());
    QByteArray packed;
    for (int i = 1; i <= sdk.SeedCount(); ++i) {
        const uint16_t e = static_cast<uint16_t>(sdk.SeedTable()[i]);
        packed.append(char(e & 0xFF)).append(char(e >> 8));
    }
    QCOMPARE(Sha256Hex(packed), v["seed_table_sha256"].toString());

    QCOMPARE(QString::fromStdString(sdk.CycleSeed()), v["cycle_seed"].toString());
    const QJsonArray cycle = v["cycle_table"].toArray();
    QCOMPARE(cycle.size(), kCycleEntries + 1);
    for (int i = 0; i <= kCycleEntries; ++i)
        QCOMPARE(sdk.CycleTable()[i], cycle[i].toInt());

    const QString d = dir.path();
    const QByteArray k1 = FileBytes(d, "k1.bin");
    QCOMPARE(k1.size(), 5120);
    QCOMPARE(Sha256Hex(k1), v["k1_bin_sha256"].toString());
    QCOMPARE(QString(k1.left(64).toHex()), v["k1_bin_first64_hex"].toString());
    QCOMPARE(FileBytes(d, "k1.brs"), k1);
    QCOMPARE(FileBytes(d, "k1.bcr"), k1);
    const char* files[][2] = {{"k2.bin", "k2_bin_hex"},
                              {"k3.bin", "k3_bin_hex"},
                              {"k4.bin", "k4_bin_hex"},
                              {"k5.bin", "k5_bin_hex"},
                              {"k6.dat", "k6_dat_hex"}};
    for (const auto& f : files)
        QCOMPARE(QString(FileBytes(d, f[0]).toHex()), v[f[1]].toString());

    bool permutations = true;
    for (int r = 0; r < 20; ++r) {
        QByteArray sorted = k1.mid(r * 256, 256);
        std::sort(sorted.begin(), sorted.end(),
                  [](char a, char b) { return uint8_t(a) < uint8_t(b); });
        for (int i = 0; i < 256; ++i)
            permutations = permutations && uint8_t(sorted[i]) == i;
    }
    QCOMPARE(permutations, v["rotors_are_permutations"].toBool());
}

void TstEngineVectors::messages_data() {
    QTest::addColumn<QString>("seed");
    QTest::addColumn<bool>("permutations");
    QTest::addColumn<QJsonObject>("c");
    for (const auto& entry : VectorSeeds()) {
        const QJsonObject v = entry.toObject();
        const QJsonArray ciphers = v["ciphertexts"].toArray();
        for (int i = 0; i < ciphers.size(); ++i)
            QTest::addRow("%s/%d", qPrintable(v["seed"].toString().left(20)), i)
                << v["seed"].toString() << v["rotors_are_permutations"].toBool()
                << ciphers[i].toObject();
    }
}

void TstEngineVectors::messages() {
    QFETCH(QString, seed);
    QFETCH(bool, permutations);
    QFETCH(QJsonObject, c);
    QTemporaryDir dir;
    SDK sdk(dir.path().toStdString());
    std::string s = seed.toStdString();
    QVERIFY(sdk.CreateKeys(s));

    const std::string plain = FromHex(c["plain_hex"].toString());
    std::string text = plain;
    QVERIFY(sdk.EncryptMessage(text));
    QCOMPARE(text.size(), plain.size());
    if (c.contains("cipher_hex")) {
        QCOMPARE(QString(Bytes(text).toHex()), c["cipher_hex"].toString());
    } else {
        QCOMPARE(Sha256Hex(Bytes(text)), c["cipher_sha256"].toString());
        QCOMPARE(QString(Bytes(text).left(64).toHex()), c["cipher_first64_hex"].toString());
    }

    const std::string cipher = text;
    const EngineResult back = sdk.DecryptMessage(text);
    if (permutations) {
        QVERIFY2(back.ok, back.error.c_str());
        QCOMPARE(Bytes(text), Bytes(plain));
    } else {
        // Rotors that map two codes to one byte cannot be undone: refused.
        QVERIFY(!back.ok);
        QVERIFY2(back.error.find("k1.bcr record") != std::string::npos, back.error.c_str());
        QCOMPARE(Bytes(text), Bytes(cipher));
    }
}

QTEST_GUILESS_MAIN(TstEngineVectors)
#include "tst_engine_vectors.moc"
