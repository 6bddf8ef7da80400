#pragma once

#include <QByteArray>
#include <QString>

// The two secure-connection settings of the Options menu, kept in secure.dat
// in the program folder: two CR LF lines, "1" or "0" each,
//   line 1: Secure Connections (on by default)
//   line 2: Require Secure Connections (off by default)
struct SecureSettings {
    bool enabled = true;
    bool required = false;

    static constexpr const char* FileName = "secure.dat";

    // The settings a file's bytes hold; a line that is not "1" or "0" keeps
    // its default, and a requirement switches secure connections on.
    static SecureSettings fromBytes(const QByteArray& bytes);
    QByteArray toBytes() const;

    // Reads `path`; a missing or empty file is created with the defaults.
    // False (defaults kept, reason in `error`) when it cannot be used.
    static bool load(const QString& path, SecureSettings& settings, QString* error);
    bool save(const QString& path, QString* error) const;
};
