// The name a peer announces with "FL:" becomes a file in the receive folder:
// whatever the bytes, the name taken is one plain entry directly inside it.

#include "FuzzCheck.h"
#include "protocol/FileTransfer.h"

#include <QFile>
#include <QString>
#include <QTemporaryDir>

namespace {

// Longest name in UTF-8 bytes that the file systems in use take.
constexpr qsizetype kNameBytes = 255;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QTemporaryDir dir;
    static const QString recv = dir.path();
    // A name already taken, so that the free-name search runs too.
    static const bool taken =
        QFile(FileReceiver::pathIn(recv, ":taken.txt")).open(QIODevice::WriteOnly);
    (void)taken;

    const QByteArray raw(reinterpret_cast<const char*>(data), qsizetype(size));
    const QString name = FileReceiver::safeFileName(raw);
    FUZZ_CHECK(!name.trimmed().isEmpty());
    FUZZ_CHECK(name != "." && name != "..");
    FUZZ_CHECK(!name.contains('/') && !name.contains('\\'));
    FUZZ_CHECK(name.toUtf8().size() <= kNameBytes);
    for (const QChar c : name)
        FUZZ_CHECK(c.unicode() >= 0x20 && c.unicode() != 0x7f &&
                   c.category() != QChar::Other_Control);
    // No surrogate is cut from its partner by the shortening.
    FUZZ_CHECK(QString::fromUtf8(name.toUtf8()) == name);

    const QString free = FileReceiver::freeFileName(recv, name);
    const QString path = FileReceiver::pathIn(recv, free);
    FUZZ_CHECK(!QFile::exists(path));
    FUZZ_CHECK(FileReceiver::isInside(recv, path));
    return 0;
}
