#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include "platform/Colors.h"

class QWidget;

// The look of the chat log as kept in font.dat: background colour, text
// colour, font name and font size, one per line, each line ending CR LF.
// A value that is not set leaves the widget's own value alone when applied.
class ChatAppearance {
public:
    qint32 backColor = Colors::WindowBackground;
    qint32 foreColor = Colors::WindowText;
    QString fontName;
    float fontSize = 0.0f;

    bool hasBackColor = false;
    bool hasForeColor = false;
    bool hasFontName = false;
    bool hasFontSize = false;

    // The four lines of font.dat for this appearance (every value written).
    QByteArray toFileBytes() const;

    // The appearance held by the fields read from font.dat. Missing fields, a
    // colour field that holds no number (or one outside 32 bits), an empty font
    // name and a size that is not above 0 stay unset.
    static ChatAppearance fromFields(const QList<QByteArray>& fields);

    // Sets the background and text colours and the font of `widget` from the
    // values that are set, in that order.
    void applyTo(QWidget* widget) const;

    // The font size as stored: shortest decimal form, "." as the separator,
    // one leading space (" 8.25", " 12").
    static QByteArray sizeText(float size);

    // The largest font size accepted from font.dat, in points.
    static constexpr float MaxFontSize = 1000.0f;
};
