// The yardstick for StartupBench: the least a Qt Quick window of the launcher's size and style
// costs on this machine. Prints "first frame" to stderr when its first frame is swapped.
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QQuickWindow>

#include <cstdio>
#include <utility>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QQuickStyle::setStyle(QStringLiteral("Basic"));
    QQmlApplicationEngine engine;
    engine.loadData(R"(
        import QtQuick
        import QtQuick.Controls.Basic
        ApplicationWindow {
            width: 1080; height: 660; visible: true
            Rectangle { anchors.fill: parent; anchors.margins: 24; radius: 8; color: "#3b6ea5" }
        })");
    auto *window = engine.rootObjects().isEmpty() ? nullptr : qobject_cast<QQuickWindow *>(engine.rootObjects().constFirst());
    if (!window)
        return 1;
    bool first = true;
    QObject::connect(window, &QQuickWindow::frameSwapped, &app, [&first] {
        if (std::exchange(first, false))
            std::fprintf(stderr, "first frame\n");
    });
    return QGuiApplication::exec();
}
