#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true); // always on in Qt 6
#endif
    QApplication app(argc, argv);
    // Lets Wayland compositors and docks match the window to the installed desktop entry.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.quorvale.TavrelControl"));
    MainWindow window; // starts hidden: the tray menu's "Settings" shows it
    return app.exec();
}
