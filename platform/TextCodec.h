#pragma once

#include <QByteArray>
#include <QString>

// The one place where widget text becomes bytes and back.
namespace TextCodec {

// Chat text and file names go on the wire as UTF-8.
QByteArray toWire(const QString& text);
// UTF-8 when the bytes are valid UTF-8, otherwise Windows-1252 (the
// single-byte code page of older peers). ASCII is the same either way.
QString fromWire(const QByteArray& bytes);

// Settings files hold 8-bit text; the program writes them as UTF-8 and reads
// them with the same rule as the wire.
inline QByteArray toFile(const QString& text) {
    return toWire(text);
}
inline QString fromFile(const QByteArray& bytes) {
    return fromWire(bytes);
}

} // namespace TextCodec
