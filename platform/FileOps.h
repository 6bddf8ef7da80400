#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

// Byte-exact file access for the program's settings files and the transfer
// file. A character is one byte on disk; lines end with CR LF.

// A file of fixed-length records: record r (from 1) is bytes (r-1)*L .. r*L-1.
// Opening creates the file empty when it is missing and never shortens it.
class RecordFile {
public:
    RecordFile() = default;
    ~RecordFile();
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    bool open(const QString& path, int recordLength, QString* error = nullptr);
    bool isOpen() const;
    qint64 length() const;
    // The bytes of record r that exist (fewer than L, or none, past the end).
    QByteArray readRecord(qint64 r, QString* error = nullptr);
    // Writes record r: a shorter text is filled out with spaces, a longer one
    // is cut. The file grows when r lies past its end.
    bool writeRecord(qint64 r, const QByteArray& bytes, QString* error = nullptr);
    void close();

private:
    QFile m_file;
    int m_recordLength = 1;
};

namespace FileOps {

// Length of the file, creating it empty first when it is missing (the way
// the program decides whether a settings file has content). -1 and a reason
// in `error` when it cannot be opened.
qint64 lengthCreating(const QString& path, QString* error = nullptr);

// Creates or empties the file and writes `bytes`.
bool writeFile(const QString& path, const QByteArray& bytes, QString* error = nullptr);
// Appends `bytes` at the end of the file, creating it when missing.
bool appendFile(const QString& path, const QByteArray& bytes, QString* error = nullptr);
// The first line without its line end (CR LF, LF or end of file).
bool readFirstLine(const QString& path, QByteArray& line, QString* error = nullptr);
// Up to `count` fields: a field ends at a comma or a line end; leading
// spaces are skipped. Fewer fields when the file ends first.
bool readFields(const QString& path, int count, QList<QByteArray>& fields,
                QString* error = nullptr);

// A printed number: a minus sign or a space, the digits, one space after.
QByteArray printNumber(qint64 value);
// A number converted to text: a minus sign or a space, then the digits.
QByteArray numberText(qint64 value);
// The numeric value of a text: its longest leading number after leading
// blanks; a text that begins with no number is 0.
double numericValue(const QByteArray& text);

bool copyFile(const QString& from, const QString& to, QString* error = nullptr);
bool removeFile(const QString& path, QString* error = nullptr);
// Creates the folder; fails when it exists.
bool makeFolder(const QString& path, QString* error = nullptr);

} // namespace FileOps
