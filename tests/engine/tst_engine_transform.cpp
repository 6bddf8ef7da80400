// The fast rotor machine: the worked examples, and agreement with the plain
// string procedure on many random keys.

#include <QtTest>

#include "EngineTestSupport.h"
#include "LiteralMachine.h"

Q_DECLARE_METATYPE(RotorMachine::Path)

using namespace enginetest;

namespace {

std::string Encrypt(const RotorMachine& m, std::string text) {
    m.Encrypt(reinterpret_cast<uint8_t*>(text.data()), text.size());
    return text;
}

// A machine on `path` (which the caller has checked the processor runs).
RotorMachine OnPath(RotorMachine::Path path, const RotorSetup& s) {
    RotorMachine m;
    m.UsePath(path);
    m.SetUp(s, nullptr);
    return m;
}

std::string Decrypt(const RotorMachine& m, std::string text) {
    std::string why;
    if (!m.Decrypt(reinterpret_cast<uint8_t*>(text.data()), text.size(), &why))
        return "refused: " + why;
    return text;
}

// Rotor 1 exchanges X and Y, rotor 2 exchanges Y and Z; the rest are plain.
RotorSetup ExchangeSetup() {
    RotorSetup s = PlainSetup();
    std::swap(s.rotors[0]['X'], s.rotors[0]['Y']);
    std::swap(s.rotors[1]['Y'], s.rotors[1]['Z']);
    return s;
}

} // namespace

class TstEngineTransform : public QObject {
    Q_OBJECT
    void paths_data();

private slots:
    void turningAddsTheSteps();
    void exchangesFollowThePlaces();
    void orderShiftsAfterTheCycleLength();
    void matchesPlainProcedure_data() { paths_data(); }
    void matchesPlainProcedure();
    void decryptsAcrossTheCycleTableWrap_data() { paths_data(); }
    void decryptsAcrossTheCycleTableWrap();
    void limitsAreRefused();
};

void TstEngineTransform::turningAddsTheSteps() {
    // Plain rotors: places 1..10 turn up, 11..20 down, place 1 by two, the
    // rest by one; with two passes character n gains 2n, whatever the order.
    QRandomGenerator rng(7);
    RotorSetup s = RandomSetup(rng);
    for (int k = 0; k < kRotors; ++k) {
        std::iota(s.rotors[k].begin(), s.rotors[k].end(), 0);
        s.directions[k] = k < 10 ? 1 : 0;
        s.steps[k] = k == 0 ? 2 : 1;
    }
    s.passes = 2;
    RotorMachine m;
    QVERIFY(m.SetUp(s, nullptr));
    QCOMPARE(Encrypt(m, "AAA"), std::string("ACE"));
    QCOMPARE(Decrypt(m, "ACE"), std::string("AAA"));
    const std::string zeros(300, '\0');
    const std::string out = Encrypt(m, zeros);
    for (int n = 0; n < 300; ++n)
        QCOMPARE(uint8_t(out[n]), uint8_t(2 * n));
}

void TstEngineTransform::exchangesFollowThePlaces() {
    RotorSetup s = ExchangeSetup();
    RotorMachine m;
    QVERIFY(m.SetUp(s, nullptr));
    QCOMPARE(Encrypt(m, "X"), std::string("Z")); // place 1 acts first
    QCOMPARE(Decrypt(m, "Z"), std::string("X"));
    s.passes = 2;
    QVERIFY(m.SetUp(s, nullptr));
    QCOMPARE(Encrypt(m, "X"), std::string("Y"));
    QCOMPARE(Decrypt(m, "Y"), std::string("X"));
}

void TstEngineTransform::orderShiftsAfterTheCycleLength() {
    // After the shift rotor 2 stands in place 1 and rotor 1 in place 20, so X
    // becomes Y instead of Z. Entry 1 = 3: three characters in the first order.
    RotorSetup s = ExchangeSetup();
    s.cycleTable[1] = 3;
    s.cycleTable[2] = 2;
    RotorMachine m;
    QVERIFY(m.SetUp(s, nullptr));
    // Shifts after characters 3 and 5: the rotors stand 1,2,.. then 2,3,..
    // (X -> Y) then 3,4,..,1,2 (X -> Y via rotor 1, then Y -> Z via rotor 2).
    QCOMPARE(Encrypt(m, "XXXXXXX"), std::string("ZZZYYZZ"));
    QCOMPARE(Decrypt(m, "ZZZYYZZ"), std::string("XXXXXXX"));
}

// Every way through the chain, the portable one on every processor.
void TstEngineTransform::paths_data() {
    QTest::addColumn<RotorMachine::Path>("path");
    for (const auto path :
         {RotorMachine::Path::Portable, RotorMachine::Path::Avx2, RotorMachine::Path::Avx512})
        QTest::newRow(RotorMachine::Name(path)) << path;
}

void TstEngineTransform::matchesPlainProcedure() {
    QFETCH(RotorMachine::Path, path);
    if (!RotorMachine::Supported(path))
        QSKIP("this processor cannot run this path");
    // Both ways through the chain. Long cycle lengths make runs that a
    // register's worth of characters has to split; short ones make runs
    // shorter than a register.
    QRandomGenerator rng(20240611);
    for (int round = 0; round < 250; ++round) {
        RotorSetup s = RandomSetup(rng);
        if (round % 2)
            for (int i = 1; i <= kCycleEntries; ++i)
                s.cycleTable[i] = rng.bounded(1, 300);
        const LiteralMachine plain(s);
        const std::string text = RandomText(rng, rng.bounded(round % 5 ? 400 : 3000));
        const std::string expectedCipher = plain.Encrypt(text);
        std::string expected;
        QVERIFY(plain.Decrypt(expectedCipher, expected));
        QCOMPARE(Bytes(expected), Bytes(text));
        const RotorMachine fast = OnPath(path, s);
        QCOMPARE(fast.PathInUse(), path);
        QCOMPARE(Bytes(Encrypt(fast, text)), Bytes(expectedCipher));
        QCOMPARE(Bytes(Decrypt(fast, expectedCipher)), Bytes(text));
    }
    // Rotors with a repeated byte still encrypt exactly like the plain way.
    RotorSetup s = RandomSetup(rng);
    s.rotors[4][17] = s.rotors[4][200];
    const RotorMachine fast = OnPath(path, s);
    const std::string text = RandomText(rng, 1000);
    QCOMPARE(Bytes(Encrypt(fast, text)), Bytes(LiteralMachine(s).Encrypt(text)));
    QCOMPARE(fast.FirstNonPermutation(), 4);
}

void TstEngineTransform::decryptsAcrossTheCycleTableWrap() {
    QFETCH(RotorMachine::Path, path);
    if (!RotorMachine::Supported(path))
        QSKIP("this processor cannot run this path");
    // Short cycle lengths: 200 entries sum to well under the message length,
    // so the table index wraps from 200 to 1 several times.
    QRandomGenerator rng(99);
    RotorSetup s = RandomSetup(rng, 2);
    long long total = 0;
    for (int i = 1; i <= kCycleEntries; ++i)
        total += (s.cycleTable[i] = 1 + rng.bounded(6));
    const std::string text = RandomText(rng, int(total * 3 + 11));
    const RotorMachine fast = OnPath(path, s);
    const std::string cipher = Encrypt(fast, text);
    QCOMPARE(Bytes(cipher), Bytes(LiteralMachine(s).Encrypt(text)));
    QCOMPARE(Bytes(Decrypt(fast, cipher)), Bytes(text));
}

void TstEngineTransform::limitsAreRefused() {
    RotorSetup good = ExchangeSetup();
    RotorMachine m;
    QVERIFY(m.SetUp(good, nullptr));
    const auto refuse = [&](RotorSetup bad, const char* what) {
        std::string why;
        QVERIFY(!m.SetUp(bad, &why));
        QVERIFY2(why.find(what) != std::string::npos, why.c_str());
        QCOMPARE(Encrypt(m, "X"), std::string("Z")); // the earlier set-up stays
    };
    for (int step : {0, -1, 257}) {
        RotorSetup bad = good;
        bad.steps[7] = step;
        refuse(bad, "rotor position 8");
    }
    for (int passes : {0, 32768}) {
        RotorSetup bad = good;
        bad.passes = passes;
        refuse(bad, "passes");
    }
    RotorSetup damaged = good;
    damaged.rotors[2][0] = 1; // byte 1 twice, byte 0 missing
    QVERIFY(m.SetUp(damaged, nullptr));
    QCOMPARE(Decrypt(m, "abc"), std::string("refused: rotor 3 is not a permutation of the 256 "
                                            "byte values (it lacks byte 0)"));
}

QTEST_GUILESS_MAIN(TstEngineTransform)
#include "tst_engine_transform.moc"
