#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSize>

class QWidget;

// A window laid out by hand for one size that may grow: every control keeps
// its place at that size, and when the window is larger the chosen controls
// move and stretch by their share of the extra room. Controls that are not
// added stay where they are.
class GrowLayout : public QObject {
    Q_OBJECT
public:
    // How much of the extra width (x) and height (y) a control takes: moving
    // its left and top edges, and growing its width and height. 1 is all of
    // it, 0 none.
    struct Share {
        double left = 0, top = 0, width = 0, height = 0;
    };

    // `area` is the widget whose size the window gives (the main window's
    // contents); its present size is the size the layout was made for, and
    // becomes its smallest.
    explicit GrowLayout(QWidget* area);

    // `w` moves and stretches by `share` of the growth. Its present geometry
    // is its place at the base size.
    void add(QWidget* w, Share share);

    QSize baseSize() const { return m_base; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void place(const QSize& size);

    struct Entry {
        QPointer<QWidget> widget;
        QRect base;
        Share share;
    };
    QWidget* m_area;
    QSize m_base;
    QList<Entry> m_entries;
};
