#include "platform/Colors.h"
#include "platform/TextCodec.h"

#include <QGuiApplication>
#include <QPalette>
#include <QTest>

namespace {

QString chars(std::initializer_list<QChar> cs) {
    return QString(cs.begin(), qsizetype(cs.size()));
}

} // namespace

class TstPlatformTextColors : public QObject {
    Q_OBJECT

private slots:
    void textOutsideWindows1252GoesAsUtf8() {
        const QString texts[] = {
            QStringLiteral("plain ascii | IP:10.0.0.1"),
            QString::fromUtf8("caf\xC3\xA9 \xE2\x82\xAC 100 \xF0\x9F\x98\x80"),
            QString(QChar(0xFEFF)) + QStringLiteral("after a byte order mark"),
            QString(),
        };
        for (const QString& t : texts) {
            const QByteArray wire = TextCodec::toWire(t);
            QCOMPARE(wire, t.toUtf8());
            QCOMPARE(TextCodec::fromWire(wire), t);
            QCOMPARE(TextCodec::fromFile(TextCodec::toFile(t)), t);
        }
        // Settings files stay UTF-8.
        QCOMPARE(TextCodec::toFile(QString::fromUtf8("\xC3\xA9")), QByteArray("\xC3\xA9"));
    }

    void textThatFitsWindows1252GoesAsOneBytePerCharacter_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("e acute") << QString::fromUtf8("caf\xC3\xA9") << QByteArray("caf\xE9");
        QTest::newRow("euro and quotes")
            << QString::fromUtf8("\xE2\x82\xAC \xE2\x80\x9Chi\xE2\x80\x9D")
            << QByteArray("\x80 \x93hi\x94");
        QTest::newRow("undefined positions")
            << chars({QChar(0x81), QChar(0x8D), QChar(0x8F), QChar(0x90), QChar(0x9D)})
            << QByteArray("\x81\x8D\x8F\x90\x9D");
        QTest::newRow("latin-1 upper half")
            << chars({QChar(0xA0), QChar(0xFF)}) << QByteArray("\xA0\xFF");
        // One character without a place in the code page makes it all UTF-8.
        QTest::newRow("with a Greek letter")
            << QString::fromUtf8("caf\xC3\xA9 \xCE\xB1") << QByteArray("caf\xC3\xA9 \xCE\xB1");
        QTest::newRow("C1 control") << chars({QChar('a'), QChar(0x85)}) << QByteArray("a\xC2\x85");
        // "Ã©" as single bytes is C3 A9, which reads as UTF-8 "é".
        QTest::newRow("reads as UTF-8")
            << QString::fromUtf8("\xC3\x83\xC2\xA9") << QByteArray("\xC3\x83\xC2\xA9");
    }
    void textThatFitsWindows1252GoesAsOneBytePerCharacter() {
        QFETCH(QString, text);
        QFETCH(QByteArray, wire);
        QCOMPARE(TextCodec::toWire(text), wire);
        QCOMPARE(TextCodec::fromWire(wire), text);
    }

    void everyCharacterComesBackFromTheWire() {
        for (char32_t c = 1; c <= 0xFFFF; ++c) {
            if (QChar::isSurrogate(c))
                continue;
            for (const QString& t : {QString(QChar(c)), QStringLiteral("a") + QChar(c) + 'b',
                                     QString(QChar(c)) + QChar(0xC3) + QChar(0xA9)}) {
                if (TextCodec::fromWire(TextCodec::toWire(t)) != t)
                    QFAIL(qPrintable(QString::number(c, 16)));
            }
        }
    }

    void invalidUtf8IsWindows1252_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("euro") << QByteArray("\x80") << QString(QChar(0x20AC));
        QTest::newRow("e acute") << QByteArray("caf\xE9") << QString::fromUtf8("caf\xC3\xA9");
        QTest::newRow("quotes") << QByteArray("\x93hi\x94")
                                << QString::fromUtf8("\xE2\x80\x9Chi\xE2\x80\x9D");
        QTest::newRow("undefined positions")
            << QByteArray("\x81\x8D\x8F\x90\x9D")
            << chars({QChar(0x81), QChar(0x8D), QChar(0x8F), QChar(0x90), QChar(0x9D)});
        QTest::newRow("table ends")
            << QByteArray("\x8A\x8C\x8E\x9F\x99")
            << chars({QChar(0x160), QChar(0x152), QChar(0x17D), QChar(0x178), QChar(0x2122)});
        QTest::newRow("latin-1 upper half")
            << QByteArray("\xA0\xFF") << chars({QChar(0xA0), QChar(0xFF)});
        // A sequence cut off at the end is not valid UTF-8.
        QTest::newRow("cut sequence") << QByteArray("ok\xC3") << QString::fromUtf8("ok\xC3\x83");
        // Overlong form of '/'.
        QTest::newRow("overlong") << QByteArray("\xC0\xAF") << chars({QChar(0xC0), QChar(0xAF)});
        // An encoded surrogate half.
        QTest::newRow("surrogate")
            << QByteArray("\xED\xA0\x80") << chars({QChar(0xED), QChar(0xA0), QChar(0x20AC)});
    }
    void invalidUtf8IsWindows1252() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(TextCodec::fromWire(bytes), text);
    }

    void everySingleByteDecodesToOneCharacter() {
        QSet<char16_t> seen;
        for (int b = 0; b < 256; ++b) {
            const QString t = TextCodec::fromWire(QByteArray(1, char(b)));
            QCOMPARE(t.size(), 1);
            seen.insert(t.at(0).unicode());
            if (b < 0x80 || b >= 0xA0)
                QCOMPARE(int(t.at(0).unicode()), b);
        }
        QCOMPARE(seen.size(), 256);
    }

    void systemColoursFollowThePalette() {
        QPalette pal = QGuiApplication::palette();
        pal.setColor(QPalette::Base, QColor(10, 20, 30));
        pal.setColor(QPalette::Text, QColor(200, 100, 50));
        pal.setColor(QPalette::Button, QColor(1, 2, 3));
        pal.setColor(QPalette::ButtonText, QColor(4, 5, 6));
        pal.setColor(QPalette::Highlight, QColor(7, 8, 9));
        QGuiApplication::setPalette(pal);

        QCOMPARE(Colors::toQColor(Colors::WindowBackground), QColor(10, 20, 30));
        QCOMPARE(Colors::toQColor(Colors::WindowText), QColor(200, 100, 50));
        QCOMPARE(Colors::toQColor(-2147483643), QColor(10, 20, 30));
        QCOMPARE(Colors::toQColor(qint32(0x80000000u | 15)), QColor(1, 2, 3));
        QCOMPARE(Colors::toQColor(qint32(0x80000000u | 18)), QColor(4, 5, 6));
        QCOMPARE(Colors::toQColor(qint32(0x80000000u | 13)), QColor(7, 8, 9));
        QVERIFY(Colors::toQColor(qint32(0x800000FFu)).isValid());
    }

    void plainColourValues() {
        QCOMPARE(Colors::toQColor(0x0000FF), QColor(255, 0, 0));
        QCOMPARE(Colors::toQColor(0x00FF00), QColor(0, 255, 0));
        QCOMPARE(Colors::toQColor(0xFF0000), QColor(0, 0, 255));
        QCOMPARE(Colors::toQColor(0), QColor(0, 0, 0));
        QCOMPARE(Colors::fromQColor(QColor(1, 2, 3)), 0x030201);
        QCOMPARE(Colors::fromQColor(Qt::white), 16777215);
        for (qint32 v : {0, 1, 255, 0x123456, 0xABCDEF, 16777215})
            QCOMPARE(Colors::fromQColor(Colors::toQColor(v)), v);
        // Colours given in another model come back as their RGB value.
        QCOMPARE(Colors::fromQColor(QColor::fromHsv(0, 255, 255)), 0x0000FF);
    }
};

QTEST_MAIN(TstPlatformTextColors)
#include "tst_platform_text_colors.moc"
