// The engine as the program uses it: seeds, key files, messages, damaged
// files, the key digest, two engines side by side, and the wipe.

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "EngineTestSupport.h"
#include "engine/SDK.h"
#include "protocol/KeySeed.h"

using namespace enginetest;

namespace {

const std::string kSeed = "21198261162891111168192192121681";

std::string Dir(const QTemporaryDir& d) {
    return d.path().toStdString();
}

QStringList Entries(const QString& dir) {
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
}

} // namespace

class TstEngineSdk : public QObject {
    Q_OBJECT
private slots:
    void seedsOutsideTheRulesAreRefused();
    void seedTextFromAddresses();
    void keyGenerationRewritesOnlyItsRecords();
    void messagesRoundTrip();
    void settingsComeFromTheKeyFiles();
    void damagedFilesAreReported_data();
    void damagedFilesAreReported();
    void unwritableKeyFileFailsKeyGeneration_data();
    void unwritableKeyFileFailsKeyGeneration();
    void keyCheckAndTwoEngines();
    void keyFilesAreReadAnewForEveryMessage();
    void settledKeyFilesAreNotReadAgainUntilChanged();
    void wipeOverwritesThenDeletes();
    void wipeCarriesOnPastFailures();
};

void TstEngineSdk::seedsOutsideTheRulesAreRefused() {
    const std::string longest(73, '7');
    QVERIFY(SeedTextUsable(longest));
    QVERIFY(SeedTextUsable("x-y-z")); // a minus sign without digits is 0
    for (const std::string& bad :
         {std::string(), std::string(74, '7'), std::string("1-5"), std::string("-5")}) {
        const Outcome<> usable = SeedTextUsable(bad);
        QVERIFY(!usable);
        const std::string why = usable.error().toStdString();
        QVERIFY(!why.empty());
        QTemporaryDir dir;
        SDK sdk(Dir(dir));
        std::string seed = bad;
        const EngineResult r = sdk.CreateKeys(seed);
        QVERIFY(!r.ok);
        QVERIFY2(r.error.find(why) != std::string::npos, r.error.c_str());
        QCOMPARE(seed, bad);
        QVERIFY(Entries(dir.path()).isEmpty()); // refused before any file
        std::string text = "x";
        QCOMPARE(sdk.EncryptMessage(text).error, std::string("no keys have been made yet"));
    }
    // A short seed is doubled: nine characters make the same keys as eighteen.
    QTemporaryDir a, b;
    SDK sa(Dir(a)), sb(Dir(b));
    std::string nine = "123456789", eighteen = "123456789123456789";
    QVERIFY(sa.CreateKeys(nine));
    QVERIFY(sb.CreateKeys(eighteen));
    QCOMPARE(nine, eighteen);
    QCOMPARE(FileBytes(a.path(), "k1.bin"), FileBytes(b.path(), "k1.bin"));
    std::string longSeed = longest;
    QVERIFY(sa.CreateKeys(longSeed));
    QCOMPARE(sa.SeedCount(), 50000);
}

void TstEngineSdk::seedTextFromAddresses() {
    // Parts of zeros leave their group empty, and an empty group counts as "1".
    QCOMPARE(MakeSeedText("1.00.000.4", "5.6.7.8").value(), std::string("81746516514817"));
    // An odd digit count repeats the middle digit.
    QCOMPARE(MakeSeedText("1.2.3.4", "5.6.7.89").value(), std::string("9182736455365148927"));
    QCOMPARE(MakeSeedText("5.6.7.89", "1.2.3.4").value(), std::string("4536271899721589463"));
    const Outcome<std::string> tooMany = MakeSeedText("1.2.3.4.5", "6.7.8.9");
    QVERIFY(!tooMany);
    QVERIFY(tooMany.error().contains("more than eight groups"));
    // A host name's letters and "-" go into the seed as digits; a seed
    // longer than key generation takes is cut to its first 73 characters.
    const std::string named =
        MakeSeedText("workstation-seven.example.internal", "192.168.1.2").value();
    QCOMPARE(named.size(), std::size_t(73));
    QCOMPARE(named.substr(0, 8), std::string("23148769"));
    QVERIFY(SeedTextUsable(named));
    const Outcome<> usable = SeedTextUsable(std::string(74, '1'));
    QVERIFY(!usable);
    QVERIFY(usable.error().contains("characters (at most 73)"));
}

void TstEngineSdk::keyGenerationRewritesOnlyItsRecords() {
    QTemporaryDir clean, used;
    const QString d = used.path();
    const QByteArray tail(10 * 256, 'Q');
    QVERIFY(WriteFile(d, "k1.bcr", QByteArray(30 * 256, 'P')));
    QVERIFY(WriteFile(d, "k3.bin", QByteArray(300, 'R')));
    QVERIFY(WriteFile(d, "k4.bin", "garbage,\r\n-9\r\n1e9\r\n" + QByteArray(500, '9')));
    QVERIFY(WriteFile(d, "k5.bin", QByteArray(400, '5')));
    SDK fresh(Dir(clean)), reused(Dir(used));
    std::string s1 = kSeed, s2 = kSeed;
    QVERIFY(fresh.CreateKeys(s1));
    const EngineResult r = reused.CreateKeys(s2);
    QVERIFY2(r.ok, r.error.c_str());
    for (const char* name : {"k1.bin", "k1.brs", "k2.bin", "k4.bin", "k5.bin", "k6.dat"})
        QCOMPARE(FileBytes(d, name), FileBytes(clean.path(), name));
    const QByteArray bcr = FileBytes(d, "k1.bcr");
    QCOMPARE(bcr.size(), 30 * 256);
    QCOMPARE(bcr.left(5120), FileBytes(d, "k1.bin"));
    QCOMPARE(bcr.mid(5120), QByteArray(10 * 256, 'P'));
    const QByteArray k3 = FileBytes(d, "k3.bin");
    QCOMPARE(k3.left(100), FileBytes(clean.path(), "k3.bin"));
    QCOMPARE(k3.mid(100), QByteArray(200, 'R'));
    QCOMPARE(reused.CycleTable(), fresh.CycleTable());
}

void TstEngineSdk::messagesRoundTrip() {
    QTemporaryDir dir;
    const QString d = dir.path();
    SDK sdk(Dir(dir));
    std::string seed = kSeed;
    QVERIFY(sdk.CreateKeys(seed));
    QRandomGenerator rng(5);
    const std::string texts[] = {std::string(), "A", std::string("line\r\nwith|bar\0zero", 19),
                                 RandomText(rng, 7000)};
    for (const std::string& plain : texts) {
        std::string once = plain, twice = plain;
        QVERIFY(sdk.EncryptMessage(once));
        QVERIFY(sdk.EncryptMessage(twice));
        QCOMPARE(Bytes(once), Bytes(twice)); // every message starts afresh
        QVERIFY(sdk.DecryptMessage(once));
        QCOMPARE(Bytes(once), Bytes(plain));
    }
    // A ciphertext cut in two: the second half restarts from the first position.
    std::string whole = texts[3];
    QVERIFY(sdk.EncryptMessage(whole));
    std::string head = whole.substr(0, 100), rest = whole.substr(100);
    QVERIFY(sdk.DecryptMessage(head));
    QVERIFY(sdk.DecryptMessage(rest));
    QCOMPARE(Bytes(head), Bytes(texts[3].substr(0, 100)));
    QVERIFY(Bytes(rest) != Bytes(texts[3].substr(100)));

    // The current rotors are used, then restored from the reserve copy.
    const QByteArray reserve = FileBytes(d, "k1.brs");
    QByteArray otherFirstByte = reserve;
    otherFirstByte[0] = char(otherFirstByte[0] ^ 1);
    for (const QByteArray& changed : {otherFirstByte, reserve + QByteArray(256, 'x')}) {
        QVERIFY(WriteFile(d, "k1.bcr", changed));
        std::string text = "after";
        QVERIFY(sdk.EncryptMessage(text));
        QCOMPARE(FileBytes(d, "k1.bcr"), reserve);
    }
    // Without k3.bin and k4.bin both ends use the defaults, and the files come back empty.
    QFile::remove(d + "/k3.bin");
    QFile::remove(d + "/k4.bin");
    std::string text = texts[3];
    QVERIFY(sdk.EncryptMessage(text));
    QVERIFY(Bytes(text) != Bytes(whole));
    QVERIFY(sdk.DecryptMessage(text));
    QCOMPARE(Bytes(text), Bytes(texts[3]));
    QVERIFY(QFile::exists(d + "/k3.bin") && QFile::exists(d + "/k4.bin"));
    QCOMPARE(FileBytes(d, "k4.bin").size(), 0);
}

void TstEngineSdk::settingsComeFromTheKeyFiles() {
    QTemporaryDir dir;
    const QString d = dir.path();
    SDK sdk(Dir(dir));
    std::string seed = kSeed;
    QVERIFY(sdk.CreateKeys(seed));
    // Only an upper-case D turns down; a short record turns up past its end.
    QVERIFY(WriteFile(d, "k3.bin", QByteArray("DdUx\0DDD", 8)));
    QVERIFY(WriteFile(d, "k4.bin",
                      "0\r\n-3\r\nabc\r\n\r\n2.5,3.5, 1 2\r\n256\n" +
                          QByteArray("5\r\n").repeated(12)));
    RotorSetup expected;
    const QByteArray rotors = FileBytes(d, "k1.bcr");
    for (int r = 0; r < kRotors; ++r)
        std::memcpy(expected.rotors[r].data(), rotors.constData() + 256 * r, 256);
    expected.directions = {0, 1, 1, 1, 1, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    expected.steps = {1, 1, 1, 1, 2, 4, 12, 256, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5};
    expected.passes = 2;
    expected.cycleTable = sdk.CycleTable();
    RotorMachine machine;
    QVERIFY(machine.SetUp(expected, nullptr));
    QRandomGenerator rng(11);
    const std::string plain = RandomText(rng, 2000);
    std::string want = plain, got = plain;
    machine.Encrypt(reinterpret_cast<uint8_t*>(want.data()), want.size());
    QVERIFY(sdk.EncryptMessage(got));
    QCOMPARE(Bytes(got), Bytes(want));
}

void TstEngineSdk::damagedFilesAreReported_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("content"); // "<missing>" or "<folder>" for those
    QTest::addColumn<QString>("reason");
    QTest::newRow("k2 missing") << "k2.bin" << QByteArray("<missing>") << "k2.bin is missing";
    QTest::newRow("k2 one number")
        << "k2.bin" << QByteArray(" 20 \r\n") << "k2.bin does not hold two numbers";
    QTest::newRow("k2 words") << "k2.bin" << QByteArray("twenty two")
                              << "k2.bin does not hold two numbers";
    QTest::newRow("k2 no passes") << "k2.bin" << QByteArray(" 20  0 \r\n")
                                  << "k2.bin: passes per character \"0\" is outside 1..32767";
    QTest::newRow("k2 many passes") << "k2.bin" << QByteArray("20,32768") << "outside 1..32767";
    QTest::newRow("k2 rotor count") << "k2.bin" << QByteArray(" 40000  2 ") << "out of range";
    QTest::newRow("k1.bcr missing") << "k1.bcr" << QByteArray("<missing>") << "k1.bcr is missing";
    QTest::newRow("k1.bcr short") << "k1.bcr" << QByteArray(3000, 'a')
                                  << "k1.bcr is too short (3000 bytes, 5120 needed)";
    QTest::newRow("k1.brs missing") << "k1.brs" << QByteArray("<missing>") << "k1.brs is missing";
    QTest::newRow("k4 few fields") << "k4.bin" << QByteArray(" 3 \r\n").repeated(12)
                                   << "k4.bin holds 12 step sizes (20 needed)";
    QTest::newRow("k4 big step") << "k4.bin" << (" 300 " + QByteArray(",2").repeated(19))
                                 << "step size \" 300 \" of rotor position 1 is above 256";
    QTest::newRow("k3 unreadable") << "k3.bin" << QByteArray("<folder>") << "k3.bin cannot be read";
}

// What each message reads must be what the folder holds at that moment, also
// while the key files are fresh from key generation.
void TstEngineSdk::keyFilesAreReadAnewForEveryMessage() {
    QTemporaryDir dir;
    SDK sdk(Dir(dir));
    std::string seed = kSeed;
    QVERIFY(sdk.CreateKeys(seed));
    const std::string plain = "the same words";
    std::string first = plain;
    QVERIFY(sdk.EncryptMessage(first));

    // Changed in place: one pass per character instead of two.
    QFile counts(dir.path() + "/k2.bin");
    QVERIFY(counts.open(QIODevice::ReadWrite));
    QVERIFY(counts.write(" 20  1 \r\n") == 9);
    counts.close();
    std::string onePass = plain;
    QVERIFY(sdk.EncryptMessage(onePass));
    QVERIFY(onePass != first);

    // Replaced by another file under the same name.
    QVERIFY(WriteFile(dir.path(), "k2.new", " 20  2 \r\n"));
    QVERIFY(::rename(QFile::encodeName(dir.path() + "/k2.new").constData(),
                     QFile::encodeName(dir.path() + "/k2.bin").constData()) == 0);
    std::string again = plain;
    QVERIFY(sdk.EncryptMessage(again));
    QCOMPARE(again, first);

    // Shortened, then removed.
    QVERIFY(QFile::resize(dir.path() + "/k1.bcr", 3000));
    std::string text = plain;
    EngineResult r = sdk.EncryptMessage(text);
    QVERIFY(!r.ok && r.error.find("k1.bcr is too short") != std::string::npos);
    QVERIFY(QFile::remove(dir.path() + "/k1.bcr"));
    r = sdk.DecryptMessage(text);
    QVERIFY(!r.ok && r.error.find("k1.bcr") != std::string::npos);
    QCOMPARE(text, plain);
}

namespace {

struct timespec ModificationTime(const QString& path) {
    struct stat st {};
    ::stat(QFile::encodeName(path).constData(), &st);
    return st.st_mtim;
}

// Rewrites the file in place and sets its modification time to `mtime`, so
// that only the content and the status-change time differ.
bool RewriteKeepingTime(const QString& dir, const QString& name, const QByteArray& bytes,
                        struct timespec mtime) {
    if (!WriteFile(dir, name, bytes))
        return false;
    const struct timespec times[2] = {{0, UTIME_OMIT}, mtime};
    return ::utimensat(AT_FDCWD, QFile::encodeName(dir + "/" + name).constData(), times, 0) == 0;
}

#if defined(__linux__)
// In rounds, a file costs no stat() while nothing is reported, and
// every report is taken: a write through the second name, the folder above
// moved away with another put in its place, the file removed and made again.
// A file behind a symbolic link is not watched: it is looked at every time.
void watchedRounds(const QString& d, const QString& elsewhere) {
    const auto read = [](fileio::FileCache& c, int slot, const QString& path) {
        const std::string* got = nullptr;
        std::uint64_t version = 0;
        const int error = c.Read(slot, path.toStdString(), false, got, version);
        return error ? "error " + std::to_string(error) : *got;
    };
    const auto inRound = [&](fileio::FileCache& c, const QString& path) {
        c.BeginRound();
        return read(c, 0, path);
    };
    fileio::FileCache linked, deep;
    QCOMPARE(inRound(linked, d + "/linked.txt"), std::string("one"));
    QCOMPARE(inRound(deep, d + "/a/b/deep.txt"), std::string("old"));
    const std::uint64_t stats = linked.StatCalls() + deep.StatCalls();
    for (int round = 0; round < 3; ++round) {
        QCOMPARE(inRound(linked, d + "/linked.txt"), std::string("one"));
        QCOMPARE(inRound(deep, d + "/a/b/deep.txt"), std::string("old"));
    }
    QCOMPARE(linked.StatCalls() + deep.StatCalls(), stats);
    QCOMPARE(linked.ContentReads() + deep.ContentReads(), std::uint64_t(2));
    QVERIFY(WriteFile(elsewhere, "second.txt", "two"));
    QCOMPARE(inRound(linked, d + "/linked.txt"), std::string("two"));
    QVERIFY(QDir(d).rename("a", "a-old"));
    QVERIFY(QDir(d).mkpath("a/b"));
    QVERIFY(WriteFile(d + "/a/b", "deep.txt", "new"));
    QCOMPARE(inRound(deep, d + "/a/b/deep.txt"), std::string("new"));
    // A file just written is watched too: no stat() while nothing is
    // reported, however new its times, and a rewrite that keeps them is seen.
    const std::uint64_t fresh = deep.StatCalls();
    QCOMPARE(inRound(deep, d + "/a/b/deep.txt"), std::string("new"));
    QCOMPARE(deep.StatCalls(), fresh);
    QVERIFY(
        RewriteKeepingTime(d + "/a/b", "deep.txt", "NEW", ModificationTime(d + "/a/b/deep.txt")));
    QCOMPARE(inRound(deep, d + "/a/b/deep.txt"), std::string("NEW"));

    // Removed and made again under the same name while its old file lives
    // on under the second name: the new file is read, and watched in its
    // turn (not through the old file's watch).
    QVERIFY(QFile::remove(d + "/linked.txt"));
    QVERIFY(WriteFile(d, "linked.txt", "abc"));
    QCOMPARE(inRound(linked, d + "/linked.txt"), std::string("abc"));
    QCOMPARE(inRound(linked, d + "/linked.txt"), std::string("abc"));
    QVERIFY(RewriteKeepingTime(d, "linked.txt", "xyz", ModificationTime(d + "/linked.txt")));
    QCOMPARE(inRound(linked, d + "/linked.txt"), std::string("xyz"));

    // Behind a link, beside a watched file whose rounds stay quiet: the
    // settled target is looked at in every round, and a change to it that
    // keeps its size and modification time is seen.
    fileio::FileCache pair;
    const auto both = [&] {
        pair.BeginRound();
        return read(pair, 0, d + "/linked.txt") + "," + read(pair, 1, d + "/link.txt");
    };
    QCOMPARE(both(), std::string("xyz,old"));
    for (int round = 0; round < 3; ++round) {
        const std::uint64_t stats = pair.StatCalls();
        QCOMPARE(both(), std::string("xyz,old"));
        QCOMPARE(pair.StatCalls(), stats + 2); // lstat() and stat() of the link, nothing else
    }
    QVERIFY(RewriteKeepingTime(d, "target.txt", "new", ModificationTime(d + "/target.txt")));
    QCOMPARE(both(), std::string("xyz,new"));
}
#endif

} // namespace

// Key files whose times lie a few seconds back are taken from memory while
// their stat data stays the same; every change must still be seen, including
// those that keep the size and the modification time.
void TstEngineSdk::settledKeyFilesAreNotReadAgainUntilChanged() {
    QTemporaryDir dir;
    const QString d = dir.path();
    SDK sdk(Dir(dir));
    std::string seed = kSeed;
    QVERIFY(sdk.CreateKeys(seed));
    QVERIFY(WriteFile(d, "plain.txt", "abc"));
    // A file with a second name in another folder, and one two folders down.
    QTemporaryDir elsewhere;
    QVERIFY(WriteFile(d, "linked.txt", "one"));
    QVERIFY(::link(QFile::encodeName(d + "/linked.txt").constData(),
                   QFile::encodeName(elsewhere.path() + "/second.txt").constData()) == 0);
    QVERIFY(QDir(d).mkpath("a/b"));
    QVERIFY(WriteFile(d + "/a/b", "deep.txt", "old"));
    QVERIFY(WriteFile(d, "target.txt", "old"));
    QVERIFY(QFile::link(d + "/target.txt", d + "/link.txt"));
    std::this_thread::sleep_for(
        std::chrono::milliseconds(1000 * fileio::FileCache::kTrustAfterSeconds + 300));

#if defined(__linux__)
    if (QFileInfo(d).canonicalFilePath() == d)
        watchedRounds(d, elsewhere.path());
    else
        qInfo("the temporary folder lies behind a link, where files are not watched");
#endif

    // The cache alone: settled content is read once.
    fileio::FileCache cache;
    const std::string path = (d + "/plain.txt").toStdString();
    const std::string* got = nullptr;
    std::uint64_t v1 = 0, v2 = 0;
    QCOMPARE(cache.Read(0, path, false, got, v1), 0);
    QCOMPARE(*got, std::string("abc"));
    QCOMPARE(cache.Read(0, path, false, got, v2), 0);
    QCOMPARE(cache.ContentReads(), std::uint64_t(1));
    QCOMPARE(v2, v1);
    // Same size and modification time, other bytes.
    QVERIFY(RewriteKeepingTime(d, "plain.txt", "xyz", ModificationTime(d + "/plain.txt")));
    QCOMPARE(cache.Read(0, path, false, got, v2), 0);
    QCOMPARE(*got, std::string("xyz"));
    QVERIFY(v2 != v1);
    // Its times are new now, so a rewrite within the same clock tick could
    // keep identical stat data: it is read at every look-up.
    QCOMPARE(cache.Read(0, path, false, got, v1), 0);
    QCOMPARE(cache.Read(0, path, false, got, v1), 0);
    QCOMPARE(cache.ContentReads(), std::uint64_t(4));
    QCOMPARE(v1, v2); // the same bytes keep their version

    // Through the engine: each kind of change on a settled file.
    const std::string plain = "the same words";
    std::string first = plain;
    QVERIFY(sdk.EncryptMessage(first));
    auto encrypted = [&] {
        std::string text = plain;
        const EngineResult r = sdk.EncryptMessage(text);
        return r ? text : "failed: " + r.error;
    };
    QCOMPARE(encrypted(), first);

    // k3.bin: one direction letter turned, size and modification time kept.
    QByteArray k3 = FileBytes(d, "k3.bin");
    k3[0] = k3[0] == 'D' ? 'U' : 'D';
    QVERIFY(RewriteKeepingTime(d, "k3.bin", k3, ModificationTime(d + "/k3.bin")));
    const std::string turned = encrypted();
    QVERIFY(turned != first && turned.size() == plain.size());

    // k2.bin: one pass instead of two, in the same second of modification.
    struct timespec k2Time = ModificationTime(d + "/k2.bin");
    k2Time.tv_nsec = (k2Time.tv_nsec + 1) % 1000000000;
    QVERIFY(RewriteKeepingTime(d, "k2.bin", " 20  1 \r\n", k2Time));
    const std::string onePass = encrypted();
    QVERIFY(onePass != first && onePass != turned && onePass.size() == plain.size());

    // k4.bin replaced by another file of the same size.
    QByteArray k4 = FileBytes(d, "k4.bin");
    k4[1] = k4[1] == '2' ? '3' : '2';
    QVERIFY(WriteFile(d, "k4.new", k4));
    QVERIFY(::rename(QFile::encodeName(d + "/k4.new").constData(),
                     QFile::encodeName(d + "/k4.bin").constData()) == 0);
    const std::string stepped = encrypted();
    QVERIFY(stepped != onePass && stepped.size() == plain.size());

    // k1.bcr changed in place: used for this message, then restored.
    QByteArray bcr = FileBytes(d, "k1.bcr");
    std::reverse(bcr.begin(), bcr.begin() + 256); // rotor 1 read backwards
    QVERIFY(RewriteKeepingTime(d, "k1.bcr", bcr, ModificationTime(d + "/k1.bcr")));
    const std::string swapped = encrypted();
    QVERIFY(swapped != stepped && swapped.size() == plain.size());
    QCOMPARE(FileBytes(d, "k1.bcr"), FileBytes(d, "k1.brs"));
    QCOMPARE(encrypted(), stepped);

    // A rewrite right after a read, then shortened, then removed.
    QVERIFY(WriteFile(d, "k2.bin", " 20  2 \r\n"));
    QVERIFY(encrypted() != stepped);
    QVERIFY(WriteFile(d, "k2.bin", " 20  1 \r\n"));
    QCOMPARE(encrypted(), stepped);
    QVERIFY(QFile::resize(d + "/k1.brs", 5119));
    QCOMPARE(encrypted(), "failed: k1.brs is too short (5119 bytes, 5120 needed)");
    QVERIFY(QFile::remove(d + "/k1.brs"));
    QCOMPARE(encrypted(), "failed: k1.brs is missing");
}

void TstEngineSdk::damagedFilesAreReported() {
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    SDK sdk(Dir(dir));
    std::string seed = kSeed;
    QVERIFY(sdk.CreateKeys(seed));
    QFile::remove(dir.path() + "/" + file);
    if (content == "<folder>")
        QVERIFY(QDir(dir.path()).mkdir(file));
    else if (content != "<missing>")
        QVERIFY(WriteFile(dir.path(), file, content));
    const std::string plain("keep me\0", 8);
    for (bool decrypt : {false, true}) {
        std::string text = plain;
        const EngineResult r = decrypt ? sdk.DecryptMessage(text) : sdk.EncryptMessage(text);
        QVERIFY(!r.ok);
        QVERIFY2(r.error.find(reason.toStdString()) != std::string::npos, r.error.c_str());
        QCOMPARE(Bytes(text), Bytes(plain));
    }
}

void TstEngineSdk::unwritableKeyFileFailsKeyGeneration_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("deviceFull"); // else a folder stands in the way
    for (const char* name :
         {"k1.bin", "k2.bin", "k3.bin", "k4.bin", "k5.bin", "k6.dat", "k1.brs", "k1.bcr"}) {
        QTest::addRow("%s folder", name) << name << false;
        QTest::addRow("%s full", name) << name << true;
    }
}

// Every file key generation writes: when it cannot be opened, or opens but
// takes no bytes, the run fails with the file's name, and no message goes
// out with half-made keys, neither in a fresh engine nor in one that held
// earlier keys.
void TstEngineSdk::unwritableKeyFileFailsKeyGeneration() {
    QFETCH(QString, file);
    QFETCH(bool, deviceFull);
    if (deviceFull && !QFile::exists("/dev/full"))
        QSKIP("no /dev/full on this system");
    const std::string name = file.toStdString();
    for (bool hadKeys : {false, true}) {
        QTemporaryDir dir;
        SDK sdk(Dir(dir));
        std::string seed = kSeed;
        if (hadKeys) {
            QVERIFY(sdk.CreateKeys(seed));
            seed = "123456789";
            QVERIFY(QFile::remove(dir.path() + "/" + file));
        }
        if (deviceFull)
            QVERIFY(QFile::link("/dev/full", dir.path() + "/" + file));
        else
            QVERIFY(QDir(dir.path()).mkpath(file + "/inner"));
        const EngineResult r = sdk.CreateKeys(seed);
        QVERIFY(!r.ok);
        QVERIFY2(r.error.find(name + " cannot be written (") == 0, r.error.c_str());
        std::string text = "not with these keys";
        QCOMPARE(sdk.EncryptMessage(text).error, std::string("no keys have been made yet"));
        QCOMPARE(text, std::string("not with these keys"));
        std::string digest;
        QVERIFY(!sdk.KeyCheck(digest));
    }
}

void TstEngineSdk::keyCheckAndTwoEngines() {
    QTemporaryDir da, db;
    SDK a(Dir(da)), b(Dir(db) + "/"); // with and without the trailing slash
    QCOMPARE(b.AppDir(), Dir(db) + "/");
    std::string digest;
    QVERIFY(!a.KeyCheck(digest));
    std::string s1 = kSeed, s2 = "211111111211";
    QVERIFY(a.CreateKeys(s1));
    std::string before = "hello, peer";
    QVERIFY(a.EncryptMessage(before));
    QVERIFY(b.CreateKeys(s2)); // other keys in the other engine change nothing here
    std::string cipher = "hello, peer";
    QVERIFY(a.EncryptMessage(cipher));
    QCOMPARE(Bytes(cipher), Bytes(before));
    std::string digestA, digestB;
    QVERIFY(a.KeyCheck(digestA));
    QVERIFY(b.KeyCheck(digestB));
    QVERIFY(QRegularExpression("^[0-9A-F]{4} [0-9A-F]{4}$")
                .match(QString::fromStdString(digestA))
                .hasMatch());
    QVERIFY(digestA != digestB);
    std::string wrong = cipher;
    QVERIFY(b.DecryptMessage(wrong));
    QVERIFY(wrong != "hello, peer");

    s2 = kSeed;
    QVERIFY(b.CreateKeys(s2));
    QVERIFY(b.KeyCheck(digestB));
    QCOMPARE(digestB, digestA);
    QVERIFY(b.DecryptMessage(cipher));
    QCOMPARE(cipher, std::string("hello, peer"));
    // Any changed byte of a key file changes the digest; a missing file fails.
    QVERIFY(WriteFile(db.path(), "k4.bin", FileBytes(db.path(), "k4.bin").replace(" 7 ", " 6 ")));
    QVERIFY(b.KeyCheck(digestB));
    QVERIFY(digestB != digestA);
    QFile::remove(db.path() + "/k2.bin");
    QCOMPARE(b.KeyCheck(digestB).error, std::string("k2.bin is missing"));
}

void TstEngineSdk::wipeOverwritesThenDeletes() {
    QTemporaryDir parent;
    const QString d = parent.path() + "/app";
    QVERIFY(QDir().mkpath(d));
    SDK sdk(d.toStdString());
    std::string seed = kSeed;
    QVERIFY(sdk.CreateKeys(seed));
    QVERIFY(WriteFile(d, "k1.bcr", FileBytes(d, "k1.bcr") + QByteArray(2560, 'Q')));
    QVERIFY(WriteFile(d, "k1.txt", "old text"));
    QVERIFY(WriteFile(d, "k4.txt", ""));
    std::map<std::string, QByteArray> seen;
    std::vector<std::string> order;
    sdk.SetWipeObserver([&](const std::string& name) {
        seen[name] = FileBytes(d, QString::fromStdString(name));
        order.push_back(name);
    });
    const EngineResult r = sdk.WipeWorkFiles();
    QVERIFY2(r.ok, r.error.c_str());

    const QByteArray at256(5120, '@');
    QCOMPARE(seen["k1.bin"], at256);
    QCOMPARE(seen["k1.brs"], at256);
    QCOMPARE(seen["k1.bcr"], at256 + QByteArray(2560, 'Q')); // records past 20 stay
    QCOMPARE(seen["k1.txt"], QByteArray(151 * 20, '@'));
    QCOMPARE(seen["k2.bin"], QByteArray(" 0  0 \r\n"));
    QCOMPARE(seen["k3.bin"], QByteArray(20, ' ') + QByteArray(80, '\0'));
    const QByteArray lines = QByteArray("xxxxx\r\n").repeated(20);
    QCOMPARE(seen["k4.bin"], lines);
    QCOMPARE(seen["k4.txt"], QByteArray()); // empty: deleted without writing
    QCOMPARE(seen["k5.bin"], lines);
    QCOMPARE(seen["k6.dat"], lines);
    const std::vector<std::string> expectedOrder = {"k1.bcr", "k1.brs", "k1.txt", "k1.bin",
                                                    "k2.bin", "k3.bin", "k4.txt", "k4.bin",
                                                    "k5.bin", "k6.dat"};
    QCOMPARE(order, expectedOrder);
    QVERIFY(Entries(d).isEmpty());
    QCOMPARE(Entries(parent.path()), QStringList{"app"}); // nothing made outside

    order.clear();
    QVERIFY(sdk.WipeWorkFiles()); // nothing left: nothing to do
    QVERIFY(order.empty() && Entries(d).isEmpty());
}

void TstEngineSdk::wipeCarriesOnPastFailures() {
    QTemporaryDir dir, outside;
    const QString d = dir.path();
    {
        SDK maker(Dir(dir));
        std::string seed = kSeed;
        QVERIFY(maker.CreateKeys(seed));
    }
    QFile::remove(d + "/k2.bin");
    QVERIFY(QDir(d).mkpath("k2.bin/inner"));
    QVERIFY(WriteFile(outside.path(), "target", "precious"));
    QFile::remove(d + "/k5.bin");
    QVERIFY(QFile::link(outside.path() + "/target", d + "/k5.bin"));

    SDK fresh(Dir(dir)); // no set-up has run in this engine: fills are spaces
    QByteArray k1;
    fresh.SetWipeObserver([&](const std::string& name) {
        if (name == "k1.bin")
            k1 = FileBytes(d, "k1.bin");
    });
    const EngineResult r = fresh.WipeWorkFiles();
    QVERIFY(!r.ok);
    QCOMPARE(r.error, std::string("could not wipe k2.bin is a folder"));
    QCOMPARE(k1, QByteArray(5120, ' '));
    QCOMPARE(Entries(d), QStringList{"k2.bin"});
    QCOMPARE(FileBytes(outside.path(), "target"), QByteArray("precious"));
}

QTEST_GUILESS_MAIN(TstEngineSdk)
#include "tst_engine_sdk.moc"
