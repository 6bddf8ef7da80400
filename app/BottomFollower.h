#pragma once

#include <QObject>

class QAbstractScrollArea;
class QScrollBar;

// Keeps a scrolling view at its newest (last) line while the user leaves it
// there. Once the user scrolls up to read, the view stays where it is until
// the user scrolls back to the bottom.
class BottomFollower : public QObject {
    Q_OBJECT
public:
    explicit BottomFollower(QAbstractScrollArea* area);

    // The view is at its newest line and follows it.
    bool following() const { return m_following; }
    // Moves the view by `lines` (negative: up) without changing whether it
    // follows; used when lines above the view are taken away.
    void shift(int lines);

private:
    void onValueChanged(int value);
    void onRangeChanged(int minimum, int maximum);
    void moveTo(int value);

    QScrollBar* m_bar;
    bool m_following = true;
    bool m_moving = false;
};
