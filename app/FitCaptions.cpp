#include "app/FitCaptions.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>

namespace FitCaptions {

int neededWidth(const QWidget* w) {
    const QFontMetrics fm(w->font());
    if (auto* label = qobject_cast<const QLabel*>(w)) {
        if (label->wordWrap() || label->text().isEmpty() || label->text().contains('\n'))
            return 0;
        const int frame = label->width() - label->contentsRect().width();
        return fm.horizontalAdvance(label->text()) + frame + 2 * label->margin();
    }
    if (auto* button = qobject_cast<const QPushButton*>(w)) {
        if (button->text().isEmpty())
            return 0;
        // The text is drawn inside the frame; two pixels either side keep it
        // off the frame.
        const QStyle* s = button->style();
        return fm.horizontalAdvance(button->text()) +
               2 * (s->pixelMetric(QStyle::PM_DefaultFrameWidth) + 2);
    }
    if (auto* box = qobject_cast<const QCheckBox*>(w)) {
        const QStyle* s = box->style();
        return s->pixelMetric(QStyle::PM_IndicatorWidth) +
               s->pixelMetric(QStyle::PM_CheckBoxLabelSpacing) + fm.horizontalAdvance(box->text()) +
               2;
    }
    return 0;
}

void apply(QWidget* root) {
    const QList<QWidget*> widgets = root->findChildren<QWidget*>();
    for (QWidget* w : widgets) {
        if (neededWidth(w) <= w->width())
            continue;
        QFont f = w->font();
        const qreal start = f.pointSizeF();
        if (start <= 0)
            continue;
        for (qreal size = start - 0.25; size >= start * 0.7; size -= 0.25) {
            f.setPointSizeF(size);
            w->setFont(f);
            if (neededWidth(w) <= w->width())
                break;
        }
    }
}

} // namespace FitCaptions
