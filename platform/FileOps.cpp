#include "platform/FileOps.h"

#include "engine/SeedRules.h"

#include <QDir>
#include <QFileInfo>

#include <filesystem>
#include <system_error>

namespace {

bool failWith(QString* error, const QString& reason) {
    if (error)
        *error = reason;
    return false;
}

QString cannot(const QString& what, const QString& path, const QString& cause) {
    return QStringLiteral("Cannot %1 %2: %3").arg(what, QDir::toNativeSeparators(path), cause);
}

std::filesystem::path fsPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

// Opens `file` for reading and writing without shortening it, creating it
// empty when missing; a file that may only be read is opened for reading.
bool openKeeping(QFile& file, QString* error) {
    if (file.open(QIODevice::ReadWrite))
        return true;
    const QString cause = file.errorString();
    if (file.exists() && file.open(QIODevice::ReadOnly))
        return true;
    return failWith(error, cannot(QStringLiteral("open"), file.fileName(), cause));
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

// ---------------------------------------------------------------------------
// FileOps

namespace FileOps {

qint64 lengthCreating(const QString& path, QString* error) {
    QFile file(path);
    if (!openKeeping(file, error))
        return -1;
    return file.size();
}

static bool writeWith(const QString& path, const QByteArray& bytes, QIODevice::OpenMode mode,
                      QString* error) {
    QFile file(path);
    if (!file.open(mode))
        return failWith(error, cannot(QStringLiteral("open"), path, file.errorString()));
    if (file.write(bytes) != bytes.size() || !file.flush())
        return failWith(error, cannot(QStringLiteral("write"), path, file.errorString()));
    file.close();
    if (file.error() != QFileDevice::NoError)
        return failWith(error, cannot(QStringLiteral("write"), path, file.errorString()));
    return true;
}

bool writeFile(const QString& path, const QByteArray& bytes, QString* error) {
    return writeWith(path, bytes, QIODevice::WriteOnly | QIODevice::Truncate, error);
}

bool readFirstLine(const QString& path, QByteArray& line, QString* error) {
    line.clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return failWith(error, cannot(QStringLiteral("open"), path, file.errorString()));
    // A line ends at CR LF, at a lone LF or CR, or at the end of the file.
    char c;
    while (file.getChar(&c)) {
        if (c == '\r' || c == '\n')
            break;
        line.append(c);
    }
    if (file.error() != QFileDevice::NoError)
        return failWith(error, cannot(QStringLiteral("read"), path, file.errorString()));
    return true;
}

bool readFields(const QString& path, int count, QList<QByteArray>& fields, QString* error) {
    fields.clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return failWith(error, cannot(QStringLiteral("open"), path, file.errorString()));

    char c;
    while (fields.size() < count) {
        bool any = false; // a character of this field (or its end) was read
        bool skipping = true;
        QByteArray field;
        bool ended = false;
        while (file.getChar(&c)) {
            any = true;
            if (c == ',' || c == '\n') {
                ended = true;
                break;
            }
            if (c == '\r') {
                // CR LF is one line end; a lone CR ends the line as well.
                char next;
                if (file.getChar(&next) && next != '\n')
                    file.ungetChar(next);
                ended = true;
                break;
            }
            if (skipping && isBlank(c))
                continue;
            skipping = false;
            field.append(c);
        }
        if (!any)
            break; // the file ended before this field
        fields.append(field);
        if (!ended)
            break;
    }
    if (file.error() != QFileDevice::NoError)
        return failWith(error, cannot(QStringLiteral("read"), path, file.errorString()));
    return true;
}

QByteArray numberText(qint64 value) {
    return QByteArray::fromStdString(seedrules::NumberText(value));
}

double numericValue(const QByteArray& text, bool* found) {
    const seedrules::LeadingNumber n =
        seedrules::ReadLeadingNumber(text.constData(), text.constData() + text.size(), false);
    if (found)
        *found = n.found;
    return n.value;
}

bool makeFolder(const QString& path, QString* error) {
    if (QFileInfo::exists(path))
        return failWith(error, cannot(QStringLiteral("create the folder"), path,
                                      QStringLiteral("it already exists")));
    std::error_code ec;
    if (!std::filesystem::create_directory(fsPath(path), ec) || ec)
        return failWith(error, cannot(QStringLiteral("create the folder"), path,
                                      QString::fromLocal8Bit(ec.message().c_str())));
    return true;
}

} // namespace FileOps
