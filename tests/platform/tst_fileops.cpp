#include "platform/FileOps.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray contents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void put(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

} // namespace

class FileOpsTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void openingCreatesEmptyAndNeverShortens() {
        const QString file = path("opt.dne");
        QCOMPARE(FileOps::lengthCreating(file), 0);
        QCOMPARE(contents(file), QByteArray());

        put(file, "0123456789");
        QCOMPARE(FileOps::lengthCreating(file), 10);
        RecordFile rf;
        QVERIFY(rf.open(file, 1));
        QCOMPARE(rf.length(), 10);
        rf.close();
        QCOMPARE(contents(file), QByteArray("0123456789"));
    }

    void readingRecordsPastTheEnd() {
        const QString file = path("partial.bin");
        put(file, "0123456789");
        RecordFile rf;
        QVERIFY(rf.open(file, 4));
        QCOMPARE(rf.readRecord(2), QByteArray("4567"));
        QCOMPARE(rf.readRecord(3), QByteArray("89")); // only the bytes that exist
        QString error;
        QCOMPARE(rf.readRecord(4, &error), QByteArray());
        QVERIFY(error.isEmpty()); // past the end is no error
        QCOMPARE(rf.length(), 10);
    }

    void writingRecordsPadsCutsAndGrows() {
        const QString file = path("write.bin");
        RecordFile rf;
        QVERIFY(rf.open(file, 5));
        // Past the end: the file grows to the end of that record.
        QVERIFY(rf.writeRecord(3, "ab"));
        QCOMPARE(rf.length(), 15);
        QCOMPARE(contents(file), QByteArray(10, '\0') + "ab   ");
        // Cut when longer, filled out when shorter; the length stays.
        QVERIFY(rf.writeRecord(1, "ABCDEFGH"));
        QVERIFY(rf.writeRecord(2, ""));
        QCOMPARE(contents(file), QByteArray("ABCDE     ab   "));
        QCOMPARE(rf.readRecord(1), QByteArray("ABCDE"));

        // Writing over a partial last record completes it.
        rf.close();
        put(file, "xxxxxyy");
        QVERIFY(rf.open(file, 5));
        QVERIFY(rf.writeRecord(2, "z"));
        QCOMPARE(contents(file), QByteArray("xxxxxz    "));

        // Every byte value is stored unchanged.
        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all.append(char(i));
        QVERIFY(rf.open(path("all.bin"), 256));
        QVERIFY(rf.writeRecord(2, all));
        QCOMPARE(rf.readRecord(2), all);
    }

    void failuresNameTheFile() {
        const QString missing = path("no/such/folder/x.bin");
        const QString shown = QDir::toNativeSeparators(missing);
        QString error;
        RecordFile rf;
        QVERIFY(!rf.open(missing, 4, &error));
        QVERIFY2(error.contains(shown), qPrintable(error));
        QVERIFY(!rf.writeRecord(1, "x"));
        QCOMPARE(FileOps::lengthCreating(missing), -1);
        QByteArray line;
        QVERIFY(!FileOps::readFirstLine(missing, line));
        QVERIFY(!FileOps::writeFile(missing, "x"));
        error.clear();
        QVERIFY(!FileOps::appendFile(missing, "x", &error));
        QVERIFY2(error.contains(shown), qPrintable(error));
    }

    void writeAppendAndPrintedNumbers() {
        const QString file = path("k6.dat");
        put(file, "old content that is longer");
        QVERIFY(
            FileOps::writeFile(file, FileOps::printNumber(20) + FileOps::printNumber(2) + "\r\n"));
        QCOMPARE(contents(file), QByteArray(" 20  2 \r\n"));
        QVERIFY(FileOps::appendFile(file, FileOps::printNumber(-5) + "\r\n"));
        QCOMPARE(contents(file), QByteArray(" 20  2 \r\n-5 \r\n"));
        QVERIFY(FileOps::appendFile(path("new.txt"), "7777\r\n"));
        QCOMPARE(contents(path("new.txt")), QByteArray("7777\r\n"));

        QCOMPARE(FileOps::numberText(20), QByteArray(" 20"));
        QCOMPARE(FileOps::numberText(0), QByteArray(" 0"));
        QCOMPARE(FileOps::numberText(-2147483643), QByteArray("-2147483643"));
        QCOMPARE(FileOps::printNumber(std::numeric_limits<qint64>::min()),
                 QByteArray("-9223372036854775808 "));
    }

    void readingLinesAndFields() {
        const QString file = path("font.dat");
        const QList<QPair<QByteArray, QByteArray>> lines = {
            {"7777\r\nrest\r\n", "7777"}, {"\r\n", ""}, {"8080", "8080"}, {"12\nx", "12"},
            {" 77 \r\n", " 77 "},         {"", ""}};
        for (const auto& [bytes, first] : lines) {
            put(file, bytes);
            QByteArray got = "stale";
            QVERIFY(FileOps::readFirstLine(file, got));
            QCOMPARE(got, first);
        }

        using Fields = QList<QByteArray>;
        Fields fields;
        put(file, " 16777215\r\n-2147483640\r\nCourier New\r\n 12\r\n");
        QVERIFY(FileOps::readFields(file, 4, fields));
        QCOMPARE(fields, (Fields{"16777215", "-2147483640", "Courier New", "12"}));
        // Commas end fields; an empty line is an empty field; only the count
        // asked for is read.
        put(file, "a,  b\r\n\r\nc,d,e\r\n");
        QVERIFY(FileOps::readFields(file, 4, fields));
        QCOMPARE(fields, (Fields{"a", "b", "", "c"}));
        // Fewer fields when the file ends first; a last line without its
        // line end still counts.
        put(file, " 255\r\nlast");
        QVERIFY(FileOps::readFields(file, 4, fields));
        QCOMPARE(fields, (Fields{"255", "last"}));
        put(file, " 255\r\n");
        QVERIFY(FileOps::readFields(file, 4, fields));
        QCOMPARE(fields, (Fields{"255"}));
    }

    void numericValueTakesTheLeadingNumber() {
        const QList<QPair<QByteArray, double>> cases = {
            {"8.25", 8.25}, {"abc", 0},     {" 12x", 12},       {"\t-5", -5},
            {"+7", 7},      {"", 0},        {"-", 0},           {".", 0},
            {".5", 0.5},    {"2.5.1", 2.5}, {"1E+2x", 100},     {"4e", 4},
            {"4e-", 4},     {"1 2", 1},     {"7777\r\n", 7777}, {" -2147483643", -2147483643.0}};
        for (const auto& [text, value] : cases)
            QVERIFY2(FileOps::numericValue(text) == value, text.constData());
        // Beyond the range of a double: infinite or zero, never a wrong number.
        const double inf = std::numeric_limits<double>::infinity();
        QCOMPARE(FileOps::numericValue("1e999"), inf);
        QCOMPARE(FileOps::numericValue("-1e999x"), -inf);
        QCOMPARE(FileOps::numericValue("5e-999"), 0.0);
    }

    void copyRemoveAndMakeFolder() {
        const QString from = path("src.bin");
        const QString to = path("dst.bin");
        put(from, "short");
        put(to, "a much longer target that must go");
        QVERIFY(FileOps::copyFile(from, to));
        QCOMPARE(contents(to), QByteArray("short"));

        // A failed copy leaves the target as it was and nothing beside it.
        QString error;
        QVERIFY(!FileOps::copyFile(path("nothing.bin"), to, &error));
        QVERIFY(error.contains(QLatin1String("nothing.bin")));
        QCOMPARE(contents(to), QByteArray("short"));
        QCOMPARE(QDir(m_dir.path()).entryList({"dst*"}), QStringList{"dst.bin"});

        QVERIFY(FileOps::removeFile(to));
        QVERIFY(!QFile::exists(to));
        QVERIFY(!FileOps::removeFile(to, &error));
        QVERIFY(error.contains(QLatin1String("dst.bin")));

        const QString folder = path("Recv");
        QVERIFY(FileOps::makeFolder(folder));
        QVERIFY(QFileInfo(folder).isDir());
        error.clear();
        QVERIFY(!FileOps::makeFolder(folder, &error));
        QVERIFY2(error.contains(QLatin1String("Recv")), qPrintable(error));
        QVERIFY(!FileOps::makeFolder(path("a/b"), &error));
    }
};

QTEST_GUILESS_MAIN(FileOpsTest)
#include "tst_fileops.moc"
