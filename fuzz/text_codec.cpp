// The text codec on any bytes from the wire, and back: whatever text the
// peer's bytes give, and any text a user can type, comes back unchanged from
// a round trip through the wire form.

#include "FuzzCheck.h"
#include "platform/TextCodec.h"

#include <QByteArray>
#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));

    const QString received = TextCodec::fromWire(bytes);
    // One character per byte at most, whichever code page read it.
    FUZZ_CHECK(received.size() <= bytes.size());
    FUZZ_CHECK(TextCodec::fromWire(TextCodec::toWire(received)) == received);

    // The same bytes as typed text: UTF-16 code units, surrogates paired (the
    // widgets hand out no lone surrogate).
    QString typed(reinterpret_cast<const QChar*>(data), qsizetype(size / 2));
    typed = QString::fromUtf8(typed.toUtf8());
    const QByteArray wire = TextCodec::toWire(typed);
    FUZZ_CHECK(TextCodec::fromWire(wire) == typed);
    // ASCII text is sent as it is.
    bool ascii = true;
    for (const QChar c : typed)
        ascii = ascii && c.unicode() < 0x80;
    if (ascii)
        FUZZ_CHECK(wire == typed.toLatin1());
    return 0;
}
