#pragma once

// Helpers shared by the engine tests: file bytes, the stored vectors and
// random machine set-ups.

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <numeric>
#include <string>

#include "engine/Transform.h"

namespace enginetest {

inline QByteArray FileBytes(const QString& dir, const QString& name) {
    QFile f(dir + "/" + name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool WriteFile(const QString& dir, const QString& name, const QByteArray& bytes) {
    QFile f(dir + "/" + name);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

inline QByteArray Bytes(const std::string& s) {
    return QByteArray(s.data(), static_cast<int>(s.size()));
}

inline std::string FromHex(const QString& hex) {
    return QByteArray::fromHex(hex.toLatin1()).toStdString();
}

inline QString Sha256Hex(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

inline QJsonArray VectorSeeds() {
    QFile f(QStringLiteral(ENGINE_TEST_DATA "/engine.json"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(f.readAll()).object().value("seeds").toArray();
}

// All rotors the byte alphabet, no turning, one pass, shift after 1000 characters.
inline RotorSetup PlainSetup() {
    RotorSetup s;
    for (auto& r : s.rotors)
        std::iota(r.begin(), r.end(), 0);
    s.directions.fill(1);
    s.steps.fill(256);
    s.passes = 1;
    s.cycleTable.fill(1000);
    return s;
}

// Random permutation rotors and parameters across their whole ranges;
// cycle lengths include 1 and below (shift after every character).
inline RotorSetup RandomSetup(QRandomGenerator& rng, int maxPasses = 4) {
    RotorSetup s = PlainSetup();
    for (auto& r : s.rotors)
        for (int i = 255; i > 0; --i)
            std::swap(r[i], r[rng.bounded(i + 1)]);
    for (int k = 0; k < kRotors; ++k) {
        s.directions[k] = static_cast<uint8_t>(rng.bounded(3)); // 2 also turns "U"
        s.steps[k] = rng.bounded(8) == 0 ? 256 : 1 + rng.bounded(256);
    }
    s.passes = 1 + rng.bounded(maxPasses);
    for (int i = 1; i <= kCycleEntries; ++i)
        s.cycleTable[i] = rng.bounded(-2, 40);
    return s;
}

inline std::string RandomText(QRandomGenerator& rng, int size) {
    std::string text(size, '\0');
    for (char& c : text)
        c = static_cast<char>(rng.bounded(256));
    return text;
}

} // namespace enginetest
