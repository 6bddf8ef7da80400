#include "app/GrowLayout.h"

#include <QEvent>
#include <QWidget>
#include <cmath>

GrowLayout::GrowLayout(QWidget* area) : QObject(area), m_area(area), m_base(area->size()) {
    area->setMinimumSize(m_base);
    area->installEventFilter(this);
}

void GrowLayout::add(QWidget* w, Share share) {
    m_entries.append({w, w->geometry(), share});
    place(m_area->size());
}

bool GrowLayout::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_area && event->type() == QEvent::Resize)
        place(m_area->size());
    return QObject::eventFilter(watched, event);
}

void GrowLayout::place(const QSize& size) {
    const double dw = qMax(0, size.width() - m_base.width());
    const double dh = qMax(0, size.height() - m_base.height());
    for (const Entry& e : std::as_const(m_entries)) {
        if (!e.widget)
            continue;
        // Each edge is rounded on its own, so that two controls sharing the
        // room between them always meet without a gap or an overlap.
        const int left = e.base.left() + int(std::lround(dw * e.share.left));
        const int top = e.base.top() + int(std::lround(dh * e.share.top));
        const int right =
            e.base.left() + e.base.width() + int(std::lround(dw * (e.share.left + e.share.width)));
        const int bottom =
            e.base.top() + e.base.height() + int(std::lround(dh * (e.share.top + e.share.height)));
        e.widget->setGeometry(left, top, right - left, bottom - top);
    }
}
