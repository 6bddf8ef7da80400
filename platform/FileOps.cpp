#include "platform/FileOps.h"

#include <QDir>
#include <QFileInfo>

#include <filesystem>
#include <limits>
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
// RecordFile

RecordFile::~RecordFile() {
    close();
}

bool RecordFile::open(const QString& path, int recordLength, QString* error) {
    close();
    if (recordLength < 1)
        return failWith(error, cannot(QStringLiteral("open"), path,
                                      QStringLiteral("the record length must be 1 or more")));
    m_recordLength = recordLength;
    m_file.setFileName(path);
    return openKeeping(m_file, error);
}

bool RecordFile::isOpen() const {
    return m_file.isOpen();
}

qint64 RecordFile::length() const {
    return m_file.isOpen() ? m_file.size() : 0;
}

QByteArray RecordFile::readRecord(qint64 r, QString* error) {
    if (!m_file.isOpen()) {
        failWith(error, cannot(QStringLiteral("read"), m_file.fileName(),
                               QStringLiteral("the file is not open")));
        return QByteArray();
    }
    if (r < 1) {
        failWith(error, cannot(QStringLiteral("read"), m_file.fileName(),
                               QStringLiteral("record %1 does not exist").arg(r)));
        return QByteArray();
    }
    const qint64 pos = (r - 1) * m_recordLength;
    if (pos >= m_file.size())
        return QByteArray();
    if (!m_file.seek(pos)) {
        failWith(error, cannot(QStringLiteral("read"), m_file.fileName(), m_file.errorString()));
        return QByteArray();
    }
    const QByteArray bytes = m_file.read(m_recordLength);
    if (bytes.isEmpty() && m_file.error() != QFileDevice::NoError)
        failWith(error, cannot(QStringLiteral("read"), m_file.fileName(), m_file.errorString()));
    return bytes;
}

bool RecordFile::writeRecord(qint64 r, const QByteArray& bytes, QString* error) {
    if (!m_file.isOpen())
        return failWith(error, cannot(QStringLiteral("write"), m_file.fileName(),
                                      QStringLiteral("the file is not open")));
    if (!m_file.isWritable())
        return failWith(error, cannot(QStringLiteral("write"), m_file.fileName(),
                                      QStringLiteral("the file may only be read")));
    if (r < 1)
        return failWith(error, cannot(QStringLiteral("write"), m_file.fileName(),
                                      QStringLiteral("record %1 does not exist").arg(r)));

    QByteArray record = bytes.left(m_recordLength);
    if (record.size() < m_recordLength)
        record.append(m_recordLength - record.size(), ' ');

    const qint64 pos = (r - 1) * m_recordLength;
    const qint64 size = m_file.size();
    if (pos > size) {
        // The bytes between the old end and the new record are zero.
        record.prepend(QByteArray(pos - size, '\0'));
        if (!m_file.seek(size))
            return failWith(
                error, cannot(QStringLiteral("write"), m_file.fileName(), m_file.errorString()));
    } else if (!m_file.seek(pos)) {
        return failWith(error,
                        cannot(QStringLiteral("write"), m_file.fileName(), m_file.errorString()));
    }
    if (m_file.write(record) != record.size() || !m_file.flush())
        return failWith(error,
                        cannot(QStringLiteral("write"), m_file.fileName(), m_file.errorString()));
    return true;
}

void RecordFile::close() {
    if (m_file.isOpen())
        m_file.close();
}

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

bool appendFile(const QString& path, const QByteArray& bytes, QString* error) {
    return writeWith(path, bytes, QIODevice::WriteOnly | QIODevice::Append, error);
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
    const QByteArray digits = QByteArray::number(value);
    return value < 0 ? digits : ' ' + digits;
}

QByteArray printNumber(qint64 value) {
    return numberText(value) + ' ';
}

double numericValue(const QByteArray& text) {
    const char* p = text.constData();
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n && isBlank(p[i]))
        ++i;
    const qsizetype start = i;
    if (i < n && (p[i] == '+' || p[i] == '-'))
        ++i;
    qsizetype digits = 0;
    while (i < n && p[i] >= '0' && p[i] <= '9') {
        ++i;
        ++digits;
    }
    if (i < n && p[i] == '.') {
        ++i;
        while (i < n && p[i] >= '0' && p[i] <= '9') {
            ++i;
            ++digits;
        }
    }
    if (digits == 0)
        return 0.0;
    qsizetype end = i;
    bool negativeExponent = false;
    // An exponent counts only when at least one digit follows its letter.
    if (i < n && (p[i] == 'e' || p[i] == 'E')) {
        qsizetype j = i + 1;
        if (j < n && (p[j] == '+' || p[j] == '-'))
            negativeExponent = p[j++] == '-';
        if (j < n && p[j] >= '0' && p[j] <= '9') {
            while (j < n && p[j] >= '0' && p[j] <= '9')
                ++j;
            end = j;
        }
    }
    bool ok = false;
    const double value = text.mid(start, end - start).toDouble(&ok);
    if (ok)
        return value;
    // Out of range: too large is infinite, too small is zero, with its sign.
    const bool negative = p[start] == '-';
    const double magnitude = negativeExponent ? 0.0 : std::numeric_limits<double>::infinity();
    return negative ? -magnitude : magnitude;
}

bool copyFile(const QString& from, const QString& to, QString* error) {
    if (!QFileInfo(from).isFile())
        return failWith(
            error, cannot(QStringLiteral("copy"), from, QStringLiteral("the file does not exist")));
    if (QFileInfo(to).isDir())
        return failWith(error,
                        cannot(QStringLiteral("copy to"), to, QStringLiteral("it is a folder")));
    // Copy beside the target first and move the copy over it, so that a
    // failed copy leaves the target as it was.
    std::error_code ec;
    const std::filesystem::path target = fsPath(to);
    std::filesystem::path temp = target;
    temp += ".copying";
    std::filesystem::copy_file(fsPath(from), temp,
                               std::filesystem::copy_options::overwrite_existing, ec);
    if (!ec)
        std::filesystem::rename(temp, target, ec);
    if (ec) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        return failWith(error, cannot(QStringLiteral("copy"), from,
                                      QStringLiteral("%1 (to %2)")
                                          .arg(QString::fromLocal8Bit(ec.message().c_str()),
                                               QDir::toNativeSeparators(to))));
    }
    return true;
}

bool removeFile(const QString& path, QString* error) {
    QFile file(path);
    if (!file.exists())
        return failWith(error, cannot(QStringLiteral("delete"), path,
                                      QStringLiteral("the file does not exist")));
    if (!file.remove())
        return failWith(error, cannot(QStringLiteral("delete"), path, file.errorString()));
    return true;
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
