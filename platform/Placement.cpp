#include "platform/Placement.h"

#include <QApplication>
#include <QFontMetrics>
#include <QScreen>
#include <QWidget>

namespace Placement {

void centreOn(QWidget* w, const QWidget* owner) {
    if (!owner)
        return;
    const QWidget* top = owner->window();
    // The frame the window manager puts around a window: the owner's, since
    // the two get the same kind of frame (once the owner has one).
    const QRect frame = top->frameGeometry();
    const QRect inner = top->geometry();
    const QMargins margins(inner.left() - frame.left(), inner.top() - frame.top(),
                           frame.right() - inner.right(), frame.bottom() - inner.bottom());
    const QSize outer = w->size().grownBy(margins);
    QPoint corner = frame.center() - QPoint(outer.width() / 2, outer.height() / 2);
    if (const QScreen* screen = top->screen()) {
        const QRect room = screen->availableGeometry();
        corner.setX(
            qBound(room.left(), corner.x(), qMax(room.left(), room.right() + 1 - outer.width())));
        corner.setY(
            qBound(room.top(), corner.y(), qMax(room.top(), room.bottom() + 1 - outer.height())));
    }
    // move() places the frame's corner for a top-level window.
    w->move(corner);
}

int widthForTitle(const QString& title) {
    // Title bars use a larger, often bold font than the windows' contents,
    // and hold an icon and up to three buttons beside the title.
    QFont font = QApplication::font();
    font.setBold(true);
    font.setPointSizeF(qMax<qreal>(font.pointSizeF(), 8.0) * 1.4);
    constexpr int buttonsAndIcon = 4 * 28 + 24;
    return QFontMetrics(font).horizontalAdvance(title) + buttonsAndIcon;
}

} // namespace Placement
