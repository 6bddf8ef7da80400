#include "platform/TextCodec.h"

#include <QStringDecoder>

namespace {

// Windows-1252 at 0x80..0x9F; the five positions the code page leaves
// undefined keep their own value as a code point.
const char16_t Cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F, // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, // 98-9F
};

QString fromCp1252(const QByteArray& bytes) {
    QString text(bytes.size(), Qt::Uninitialized);
    QChar* out = text.data();
    for (const char ch : bytes) {
        const uchar b = uchar(ch);
        *out++ = (b >= 0x80 && b <= 0x9F) ? QChar(Cp1252High[b - 0x80]) : QChar(b);
    }
    return text;
}

// The Windows-1252 byte for `c`, or -1 when the code page has none.
int cp1252Byte(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return c;
    for (int i = 0; i < 32; ++i)
        if (Cp1252High[i] == c)
            return 0x80 + i;
    return -1;
}

bool validUtf8(const QByteArray& bytes) {
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless |
                                                    QStringConverter::Flag::ConvertInitialBom);
    const QString text = utf8(bytes);
    return !utf8.hasError();
}

} // namespace

namespace TextCodec {

QByteArray toWire(const QString& text) {
    QByteArray bytes(text.size(), Qt::Uninitialized);
    bool ascii = true;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const int b = cp1252Byte(text[i].unicode());
        if (b < 0)
            return text.toUtf8();
        ascii = ascii && b < 0x80;
        bytes[i] = char(b);
    }
    // Single-byte text that happens to read as UTF-8 ("\xC3\xA9" for "Ã©")
    // would come back as other characters; UTF-8 keeps it exact.
    if (!ascii && validUtf8(bytes))
        return text.toUtf8();
    return bytes;
}

QString fromWire(const QByteArray& bytes) {
    // Stateless: a sequence cut off at the end counts as invalid. A leading
    // byte order mark is kept as a character, not swallowed.
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless |
                                                    QStringConverter::Flag::ConvertInitialBom);
    QString text = utf8(bytes);
    if (!utf8.hasError())
        return text;
    return fromCp1252(bytes);
}

} // namespace TextCodec
