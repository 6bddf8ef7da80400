#pragma once

#include <QColor>

// Colour values as stored in font.dat: a plain colour has red in bits 0-7,
// green in 8-15 and blue in 16-23; a value with bit 31 set names a system
// colour by the index in its low byte.
namespace Colors {

constexpr qint32 WindowBackground = qint32(0x80000005); // -2147483643
constexpr qint32 WindowText = qint32(0x80000008);       // -2147483640

// The colour a value stands for on this platform (system colours map to the
// application palette).
QColor toQColor(qint32 value);
// The plain colour value of `c`.
qint32 fromQColor(const QColor& c);

} // namespace Colors
