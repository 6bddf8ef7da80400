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

class TstPlatformFileops : public QObject {
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
        QCOMPARE(contents(file), QByteArray("0123456789"));
    }

    void failuresNameTheFile() {
        const QString missing = path("no/such/folder/x.bin");
        const QString shown = QDir::toNativeSeparators(missing);
        QString error;
        QCOMPARE(FileOps::lengthCreating(missing, &error), -1);
        QVERIFY2(error.contains(shown), qPrintable(error));
        QByteArray line;
        QVERIFY(!FileOps::readFirstLine(missing, line));
        error.clear();
        QVERIFY(!FileOps::writeFile(missing, "x", &error));
        QVERIFY2(error.contains(shown), qPrintable(error));
    }

    void writeAndNumberText() {
        const QString file = path("font.dat");
        put(file, "old content that is longer");
        QVERIFY(FileOps::writeFile(file, FileOps::numberText(20) + "\r\n"));
        QCOMPARE(contents(file), QByteArray(" 20\r\n"));

        QCOMPARE(FileOps::numberText(0), QByteArray(" 0"));
        QCOMPARE(FileOps::numberText(-2147483643), QByteArray("-2147483643"));
        QCOMPARE(FileOps::numberText(std::numeric_limits<qint64>::min()),
                 QByteArray("-9223372036854775808"));
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
        for (const auto& [text, value] : cases) {
            bool found = true;
            QVERIFY2(FileOps::numericValue(text, &found) == value, text.constData());
            // Whether the text begins with a number at all (a 0 may be either).
            const bool none =
                text.trimmed().isEmpty() || text == "abc" || text == "-" || text == ".";
            QVERIFY2(found == !none, text.constData());
        }
        bool found = false;
        QCOMPARE(FileOps::numericValue(" -0.0z", &found), 0.0);
        QVERIFY(found);
        // Beyond the range of a double: infinite or zero, never a wrong number.
        const double inf = std::numeric_limits<double>::infinity();
        QCOMPARE(FileOps::numericValue("1e999"), inf);
        QCOMPARE(FileOps::numericValue("-1e999x"), -inf);
        QCOMPARE(FileOps::numericValue("5e-999"), 0.0);
    }

    void makeFolder() {
        QString error;
        const QString folder = path("Recv");
        QVERIFY(FileOps::makeFolder(folder));
        QVERIFY(QFileInfo(folder).isDir());
        error.clear();
        QVERIFY(!FileOps::makeFolder(folder, &error));
        QVERIFY2(error.contains(QLatin1String("Recv")), qPrintable(error));
        QVERIFY(!FileOps::makeFolder(path("a/b"), &error));
    }
};

QTEST_GUILESS_MAIN(TstPlatformFileops)
#include "tst_platform_fileops.moc"
