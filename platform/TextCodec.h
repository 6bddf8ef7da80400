#pragma once

#include <QByteArray>
#include <QString>

// The one place where widget text becomes bytes and back.
namespace TextCodec {

// Chat text and file names go on the wire as Windows-1252, one byte a
// character, when every character has a place in that code page (so older
// single-byte peers show them right), otherwise as UTF-8. Text whose
// single-byte form would read as valid UTF-8 also goes as UTF-8, so that
// fromWire() always gives back the text that was sent.
QByteArray toWire(const QString& text);
// UTF-8 when the bytes are valid UTF-8, otherwise Windows-1252 (the
// single-byte code page of older peers). ASCII is the same either way.
QString fromWire(const QByteArray& bytes);

// Settings files hold 8-bit text; the program writes them as UTF-8 and reads
// them with the same rule as the wire.
inline QByteArray toFile(const QString& text) {
    return text.toUtf8();
}
inline QString fromFile(const QByteArray& bytes) {
    return fromWire(bytes);
}

} // namespace TextCodec
