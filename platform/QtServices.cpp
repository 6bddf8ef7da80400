#include "platform/QtServices.h"

#include "platform/Colors.h"
#include "platform/EventWait.h"
#include "platform/Placement.h"

#include <QApplication>
#include <QColorDialog>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QFontDialog>
#include <QGridLayout>
#include <QMessageBox>
#include <QTime>
#include <QUrl>

namespace {

// A box wide enough for its title. It opens centred on its parent, the
// window it belongs to, once its size is known.
int showBox(QMessageBox& box) {
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
        grid->addItem(new QSpacerItem(Placement::widthForTitle(box.windowTitle()), 0,
                                      QSizePolicy::Minimum, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
    return box.exec();
}

} // namespace

QWidget* QtServices::boxParent() const {
    return owner() ? owner() : QApplication::activeWindow();
}

void QtServices::message(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Vantrel"), text, QMessageBox::Ok,
                    boxParent());
    showBox(box);
}

bool QtServices::question(const QString& text, const QString& title) {
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Yes | QMessageBox::No,
                    boxParent());
    box.setDefaultButton(QMessageBox::Yes);
    return showBox(box) == QMessageBox::Yes;
}

QString QtServices::openFileName(QWidget* parent, const QString& startDir) {
    return QFileDialog::getOpenFileName(parent, QStringLiteral("Open"), startDir);
}

QStringList QtServices::openFileNames(QWidget* parent, const QString& startDir) {
    return QFileDialog::getOpenFileNames(parent, QStringLiteral("Open"), startDir);
}

bool QtServices::chooseColor(QWidget* parent, qint32& colour) {
    const QColor chosen = QColorDialog::getColor(Colors::toQColor(colour), parent);
    if (!chosen.isValid())
        return false;
    colour = Colors::fromQColor(chosen);
    return true;
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
    Placement::centreOn(&dialog, dialog.parentWidget());
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

bool QtServices::openFolder(const QString& folder) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

void QtServices::alert(QWidget* window) {
    QApplication::alert(window);
}

// The desktop's notification service on the session bus. The call is sent
// without waiting for an answer: no session bus, or no service on it, means
// no notification and nothing else.
void QtServices::notify(const QString& summary, const QString& body) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    const QVariantMap hints{
        {QStringLiteral("desktop-entry"), QStringLiteral("net.orvane.Vantrel")}};
    // The body may be read as markup by the service: a received line is
    // shown as the text it is, never as formatting or links.
    call << QStringLiteral("Vantrel") << uint(0) << QStringLiteral("net.orvane.Vantrel") << summary
         << body.toHtmlEscaped() << QStringList() << hints << int(-1);
    call.setAutoStartService(false);
    bus.send(call);
}
