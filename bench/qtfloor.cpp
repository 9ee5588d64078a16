// The floor under any Qt widgets program: an application object and its event loop, nothing
// else. Start-up time, idle CPU and memory of the bridge are set beside this one's; with the
// argument "timer" it also runs an empty repeating 1 ms QTimer of the default type, the
// framework's own floor for the bridge's 1 ms poll.
#include <QApplication>
#include <QTimer>

int main(int argc, char *argv[])
{
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QApplication app(argc, argv);
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [] {});
    if (argc > 1 && QByteArray(argv[1]) == "timer")
        timer.start(1);
    return app.exec();
}
