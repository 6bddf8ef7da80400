#include "platform/Colors.h"

#include <QGuiApplication>
#include <QPalette>

namespace {

struct SystemColor {
    QPalette::ColorGroup group;
    QPalette::ColorRole role;
};

// The system colour numbers of the stored colour values and the palette
// entries that stand for them here.
SystemColor systemColor(int index) {
    using P = QPalette;
    switch (index) {
    case 0: // scroll bar
        return {P::Active, P::Button};
    case 1: // desktop
        return {P::Active, P::Dark};
    case 2: // active title bar
        return {P::Active, P::Highlight};
    case 3: // inactive title bar
        return {P::Active, P::Mid};
    case 4: // menu background
        return {P::Active, P::Window};
    case 5: // window background
        return {P::Active, P::Base};
    case 6: // window frame
        return {P::Active, P::Shadow};
    case 7: // menu text
        return {P::Active, P::WindowText};
    case 8: // window text
        return {P::Active, P::Text};
    case 9: // title bar text
        return {P::Active, P::HighlightedText};
    case 10: // active border
    case 11: // inactive border
        return {P::Active, P::Window};
    case 12: // application workspace
        return {P::Active, P::Dark};
    case 13: // highlight
        return {P::Active, P::Highlight};
    case 14: // highlighted text
        return {P::Active, P::HighlightedText};
    case 15: // button face
        return {P::Active, P::Button};
    case 16: // button shadow
        return {P::Active, P::Dark};
    case 17: // grey text
        return {P::Disabled, P::Text};
    case 18: // button text
        return {P::Active, P::ButtonText};
    case 19: // inactive title bar text
        return {P::Inactive, P::WindowText};
    case 20: // button highlight
        return {P::Active, P::Light};
    case 21: // dark 3-D shadow
        return {P::Active, P::Shadow};
    case 22: // light 3-D edge
        return {P::Active, P::Midlight};
    case 23: // tool tip text
        return {P::Active, P::ToolTipText};
    case 24: // tool tip background
        return {P::Active, P::ToolTipBase};
    case 26: // hot-tracked item
        return {P::Active, P::Link};
    case 27: // active title bar gradient
    case 29: // menu highlight
        return {P::Active, P::Highlight};
    case 28: // inactive title bar gradient
        return {P::Active, P::Mid};
    case 30: // menu bar
    default:
        return {P::Active, P::Window};
    }
}

} // namespace

namespace Colors {

QColor toQColor(qint32 value) {
    const quint32 bits = quint32(value);
    if (bits & 0x80000000u) {
        const SystemColor sys = systemColor(int(bits & 0xFFu));
        return QGuiApplication::palette().color(sys.group, sys.role);
    }
    return QColor(int(bits & 0xFFu), int((bits >> 8) & 0xFFu), int((bits >> 16) & 0xFFu));
}

qint32 fromQColor(const QColor& c) {
    const QColor rgb = c.toRgb();
    return qint32(quint32(rgb.red()) | (quint32(rgb.green()) << 8) | (quint32(rgb.blue()) << 16));
}

} // namespace Colors
