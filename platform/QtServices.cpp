#include "platform/QtServices.h"

#include "platform/Colors.h"
#include "platform/EventWait.h"

#include <QApplication>
#include <QColorDialog>
#include <QDialog>
#include <QFileDialog>
#include <QFontDialog>
#include <QMessageBox>
#include <QTime>

void QtServices::message(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Vantrel"), text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
}

bool QtServices::question(const QString& text, const QString& title) {
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Yes | QMessageBox::No,
                    QApplication::activeWindow());
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

QString QtServices::openFileName(QWidget* parent) {
    return QFileDialog::getOpenFileName(parent, QStringLiteral("Open"));
}

QStringList QtServices::openFileNames(QWidget* parent) {
    return QFileDialog::getOpenFileNames(parent, QStringLiteral("Open"));
}

qint32 QtServices::chooseColor(QWidget* parent, qint32 current) {
    const QColor chosen = QColorDialog::getColor(Colors::toQColor(current), parent);
    return chosen.isValid() ? Colors::fromQColor(chosen) : 0;
}

bool QtServices::chooseFont(QWidget* parent, QString& name, float& sizePt) {
    QFont start = QApplication::font();
    if (!name.isEmpty())
        start.setFamily(name);
    if (sizePt > 0)
        start.setPointSizeF(sizePt);
    bool ok = false;
    const QFont chosen = QFontDialog::getFont(&ok, start, parent);
    if (!ok)
        return false;
    name = chosen.family();
    if (chosen.pointSizeF() > 0)
        sizePt = float(chosen.pointSizeF());
    else if (chosen.pixelSize() > 0)
        sizePt = float(chosen.pixelSize() * 72.0 / 96.0);
    return true;
}

int QtServices::showModal(QDialog& dialog) {
    return dialog.exec();
}

QString QtServices::timeOfDay() {
    return QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
}

void QtServices::processEvents(int maxWaitMs) {
    EventWait::processEvents(maxWaitMs);
}

void QtServices::endProgram() {
    m_ended = true;
    // Every event loop of the program ends, the outermost one included, and
    // the windows go out of sight without running their close handlers.
    QCoreApplication::exit(0);
    if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
        const QWidgetList windows = QApplication::topLevelWidgets();
        for (QWidget* w : windows)
            w->hide();
    }
}
