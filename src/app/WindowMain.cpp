#include <platform/Crypto.h>
#include <ui/VantryApp.h>
#include <vantry/BuildConfig.h>

#include <QGuiApplication>
#include <QQuickStyle>

#include <cstdio>

int main(int argc, char *argv[])
{
    vantry::Crypto::keepLibraryUntilExit();
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("Vantry"));
    QGuiApplication::setApplicationVersion(QString::fromLatin1(vantry::BuildConfig::launcherVersion));
    QGuiApplication::setDesktopFileName(QString::fromLatin1(vantry::BuildConfig::launcherBundleId));
    // The window draws every surface from its theme; Basic is the style that lets it.
    QQuickStyle::setStyle(QStringLiteral("Basic"));

    auto created = vantry::VantryApp::create();
    auto started = created ? (*created)->start() : vantry::Expected<void, vantry::VantryApp::StartError>(
                                                       vantry::unexpected(created.error()));
    if (!started) {
        std::fprintf(stderr, "vantry: %s\n",
                     qPrintable(vantry::VantryApp::describe(started.error())));
        return 1;
    }
    return QGuiApplication::exec();
}
