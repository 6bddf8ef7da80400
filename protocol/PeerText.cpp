#include "protocol/PeerText.h"

#include <QList>

#include <algorithm>

namespace {

constexpr char16_t NewlineSymbol = 0x2424;   // ␤
constexpr char16_t ControlPictures = 0x2400; // ␀ for U+0000, ␁ for U+0001, ...
constexpr char16_t DeleteSymbol = 0x2421;    // ␡
constexpr char16_t ReplacementChar = 0xFFFD; // �
constexpr char16_t Ellipsis = 0x2026;        // …
constexpr char16_t FirstStrongIsolate = 0x2068;
constexpr char16_t PopDirectionalIsolate = 0x2069;

bool breaksLine(char16_t u) {
    return u == u'\n' || u == 0x0085 || u == 0x2028 || u == 0x2029;
}

// Characters that reorder what follows them (embeddings, overrides,
// isolates): a line could otherwise be made to look like another.
bool reordersText(char16_t u) {
    return (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069) || u == 0x200E ||
           u == 0x200F || u == 0x061C;
}

} // namespace

QString PeerText::visible(const QString& text, qsizetype maxChars) {
    QString s = text;
    if (maxChars > 0 && s.size() > maxChars) {
        qsizetype keep = maxChars - 1;
        if (keep > 0 && s.at(keep - 1).isHighSurrogate())
            --keep; // never half a character
        s.truncate(keep);
        s += QChar(Ellipsis);
    }
    for (QChar& c : s) {
        const char16_t u = c.unicode();
        if (breaksLine(u))
            c = QChar(NewlineSymbol);
        else if (u < 0x20)
            c = QChar(char16_t(ControlPictures + u));
        else if (u == 0x7F)
            c = QChar(DeleteSymbol);
        else if ((u >= 0x80 && u < 0xA0) || reordersText(u))
            c = QChar(ReplacementChar);
    }
    return s;
}

QString PeerText::isolated(const QString& text, qsizetype maxChars) {
    const QString shown = visible(text, maxChars);
    const QList<uint> chars = shown.toUcs4();
    const bool rightToLeft = std::any_of(chars.begin(), chars.end(), [](uint c) {
        const QChar::Direction d = QChar::direction(char32_t(c));
        return d == QChar::DirR || d == QChar::DirAL || d == QChar::DirAN;
    });
    if (!rightToLeft)
        return shown;
    return QChar(FirstStrongIsolate) + shown + QChar(PopDirectionalIsolate);
}
