#include "ChatAppearance.h"

#include <QFont>
#include <QPalette>
#include <QWidget>

#include <charconv>
#include <cmath>
#include <limits>

#include "platform/FileOps.h"
#include "platform/TextCodec.h"

namespace {

bool colourValue(const QByteArray& field, qint32& out) {
    bool found = false;
    const double v = std::nearbyint(FileOps::numericValue(field, &found));
    if (!found || !std::isfinite(v) || v < double(std::numeric_limits<qint32>::min()) ||
        v > double(std::numeric_limits<qint32>::max()))
        return false;
    out = qint32(v);
    return true;
}

} // namespace

QByteArray ChatAppearance::sizeText(float size) {
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, size);
    return QByteArray(" ") + QByteArray(buf, int(res.ptr - buf));
}

QByteArray ChatAppearance::toFileBytes() const {
    QByteArray out;
    out += FileOps::numberText(backColor) + "\r\n";
    out += FileOps::numberText(foreColor) + "\r\n";
    out += TextCodec::toFile(fontName) + "\r\n";
    out += sizeText(fontSize) + "\r\n";
    return out;
}

ChatAppearance ChatAppearance::fromFields(const QList<QByteArray>& fields) {
    ChatAppearance a;
    if (fields.size() > 0)
        a.hasBackColor = colourValue(fields[0], a.backColor);
    if (fields.size() > 1)
        a.hasForeColor = colourValue(fields[1], a.foreColor);
    if (fields.size() > 2) {
        a.fontName = TextCodec::fromFile(fields[2]).trimmed();
        a.hasFontName = !a.fontName.isEmpty();
    }
    if (fields.size() > 3) {
        bool found = false;
        const double size = FileOps::numericValue(fields[3], &found);
        if (found && std::isfinite(size) && size > 0.0 && size <= MaxFontSize) {
            a.fontSize = float(size);
            a.hasFontSize = true;
        }
    }
    return a;
}

void ChatAppearance::applyTo(QWidget* widget) const {
    if (!widget)
        return;
    if (hasBackColor || hasForeColor) {
        QPalette pal = widget->palette();
        if (hasBackColor)
            pal.setColor(QPalette::Base, Colors::toQColor(backColor));
        if (hasForeColor)
            pal.setColor(QPalette::Text, Colors::toQColor(foreColor));
        widget->setPalette(pal);
    }
    if (hasFontName || hasFontSize) {
        QFont f = widget->font();
        if (hasFontName)
            f.setFamily(fontName);
        if (hasFontSize)
            f.setPointSizeF(fontSize);
        widget->setFont(f);
    }
}
