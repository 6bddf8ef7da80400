#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Byte-exact file access for the program's settings files and the transfer
// file. A character is one byte on disk; lines end with CR LF.

namespace FileOps {

// Length of the file, creating it empty first when it is missing (the way
// the program decides whether a settings file has content). -1 and a reason
// in `error` when it cannot be opened.
qint64 lengthCreating(const QString& path, QString* error = nullptr);

// Creates or empties the file and writes `bytes`.
bool writeFile(const QString& path, const QByteArray& bytes, QString* error = nullptr);
// The first line without its line end (CR LF, LF or end of file).
bool readFirstLine(const QString& path, QByteArray& line, QString* error = nullptr);
// Up to `count` fields: a field ends at a comma or a line end; leading
// spaces are skipped. Fewer fields when the file ends first.
bool readFields(const QString& path, int count, QList<QByteArray>& fields,
                QString* error = nullptr);

// A number converted to text: a minus sign or a space, then the digits.
QByteArray numberText(qint64 value);
// The numeric value of a text: its longest leading number after leading
// blanks; a text that begins with no number is 0 (and `found` is false).
// Too large a number is infinite, too small a fraction is 0.
double numericValue(const QByteArray& text, bool* found = nullptr);

// Creates the folder; fails when it exists.
bool makeFolder(const QString& path, QString* error = nullptr);

} // namespace FileOps
