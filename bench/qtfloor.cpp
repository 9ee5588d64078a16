// The floor under any Qt widgets program: an application object and its event loop, nothing
// else. Start-up time, idle CPU and memory of the bridge are set beside this one's.

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QApplication app(argc, argv);
    return app.exec();
}
