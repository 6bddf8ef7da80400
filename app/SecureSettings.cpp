#include "app/SecureSettings.h"

#include "platform/FileOps.h"

#include <QFile>
#include <QList>

SecureSettings SecureSettings::fromBytes(const QByteArray& bytes) {
    SecureSettings s;
    const QList<QByteArray> lines = bytes.split('\n');
    auto flag = [&](int i, bool& value) {
        const QByteArray line = lines.value(i).trimmed();
        if (line == "1")
            value = true;
        else if (line == "0")
            value = false;
    };
    flag(0, s.enabled);
    flag(1, s.required);
    // Requiring secure connections means having them on.
    if (s.required)
        s.enabled = true;
    return s;
}

QByteArray SecureSettings::toBytes() const {
    return QByteArray(enabled ? "1" : "0") + "\r\n" + (required ? "1" : "0") + "\r\n";
}

bool SecureSettings::load(const QString& path, SecureSettings& settings, QString* error) {
    settings = SecureSettings();
    const qint64 length = FileOps::lengthCreating(path, error);
    if (length < 0)
        return false;
    if (length == 0)
        return settings.save(path, error);
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error)
            *error = f.errorString();
        return false;
    }
    settings = fromBytes(f.read(4096));
    return true;
}

bool SecureSettings::save(const QString& path, QString* error) const {
    return FileOps::writeFile(path, toBytes(), error);
}
