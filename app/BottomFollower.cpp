#include "app/BottomFollower.h"

#include <QAbstractScrollArea>
#include <QScrollBar>

BottomFollower::BottomFollower(QAbstractScrollArea* area)
    : QObject(area), m_bar(area->verticalScrollBar()) {
    connect(m_bar, &QScrollBar::valueChanged, this, &BottomFollower::onValueChanged);
    connect(m_bar, &QScrollBar::rangeChanged, this, &BottomFollower::onRangeChanged);
}

void BottomFollower::shift(int lines) {
    moveTo(m_bar->value() + lines);
}

// Every move that is not our own comes from the user (or from the view
// keeping its value in range): the view follows when it ends at the bottom.
void BottomFollower::onValueChanged(int value) {
    if (!m_moving)
        m_following = value >= m_bar->maximum();
}

// The content grew or the view was resized.
void BottomFollower::onRangeChanged(int, int maximum) {
    if (m_following)
        moveTo(maximum);
}

void BottomFollower::moveTo(int value) {
    m_moving = true;
    m_bar->setValue(value);
    m_moving = false;
}
