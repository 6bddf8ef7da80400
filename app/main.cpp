#include <QApplication>
#include <QFont>

#include "app/frmMain.h"
#include "platform/QtServices.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vantrel"));

    // The window layouts are measured for a small sans-serif font.
    QFont font(QStringLiteral("Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(8.0);
    QApplication::setFont(font);

    QtServices services;
    frmMain window(QCoreApplication::applicationDirPath() + QLatin1Char('/'), services);
    window.show();
    return app.exec();
}
