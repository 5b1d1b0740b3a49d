// The demo game: one program, copied into each demo bundle, that plays the game its bundle names.

#include "GameFiles.h"
#include "GameIdentity.h"
#include "IconPainter.h"
#include "QuitOnSignals.h"
#include "ToyWindow.h"

#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QSaveFile>

#include <climits>
#include <cstdio>
#include <unistd.h>

using namespace vantry::demo;

namespace {

constexpr int failure = 1;
constexpr int usageError = 2;

constexpr char usage[] = "usage: vantry-demo-game\n"
                         "       vantry-demo-game --icon OUT.png --colour '#RRGGBB' --letter X\n"
                         "       vantry-demo-game --help\n";

constexpr char help[] =
    "\nStarted from a game bundle (NAME.app/Contents/MacOS/PROGRAM), it plays the game that the\n"
    "bundle's Info.plist names (CFBundleName, CFBundleShortVersionString, VantryDemoColour): a\n"
    "window with a small toy when a display exists, otherwise it waits quietly. The best score\n"
    "is kept in $XDG_DATA_HOME/<CFBundleIdentifier>/best-score. SIGTERM or SIGINT saves and quits\n"
    "with status 0. Outside a bundle it is \"Vantry Demo\" (com.vantry.demo.game).\n\n"
    "--icon writes a 256x256 PNG icon: the letter on a rounded square of the colour.\n\n"
    "Exit status: 0 done, 1 the icon or the best score could not be written, 2 usage error.\n";

void print(FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

int usageFailure(const QString &problem)
{
    print(stderr, QStringLiteral("vantry-demo-game: ") + problem + u'\n');
    std::fputs(usage, stderr);
    return usageError;
}

bool isOneSymbol(const QString &text)
{
    const QList<uint> symbols = text.toUcs4();
    return symbols.size() == 1 && QChar::isPrint(symbols[0]) && !QChar::isSpace(symbols[0]);
}

int makeIcon(char *program, const QStringList &arguments)
{
    const QStringList options = {QStringLiteral("--icon"), QStringLiteral("--colour"),
                                 QStringLiteral("--letter")};
    QHash<QString, QString> values;
    for (qsizetype i = 0; i < arguments.size(); i += 2) {
        if (!options.contains(arguments[i]) || values.contains(arguments[i]))
            return usageFailure(QStringLiteral("unexpected argument ") + arguments[i]);
        if (i + 1 == arguments.size())
            return usageFailure(arguments[i] + QStringLiteral(" needs a value"));
        values.insert(arguments[i], arguments[i + 1]);
    }
    const QString out = values.value(options[0]);
    const auto colour = parseColour(values.value(options[1]));
    const QString letter = values.value(options[2]);
    if (out.isEmpty())
        return usageFailure(QStringLiteral("--icon needs the file to write"));
    if (!colour)
        return usageFailure(QStringLiteral("--colour takes a colour written #RRGGBB"));
    if (!isOneSymbol(letter))
        return usageFailure(QStringLiteral("--letter takes one letter"));

    // Text needs the font database of a GUI application; the offscreen platform needs no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    char *qtArgv[] = {program, nullptr};
    QGuiApplication app(qtArgc, qtArgv);
    QSaveFile file(out);
    if (!file.open(QIODevice::WriteOnly) ||
        !IconPainter::render(*colour, letter).save(&file, "PNG") || !file.commit()) {
        print(
            stderr,
            QStringLiteral("vantry-demo-game: cannot write %1: %2\n").arg(out, file.errorString()));
        return failure;
    }
    return 0;
}

QString executablePath()
{
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
    return length > 0 && length < ssize_t(sizeof path)
               ? QFile::decodeName(QByteArray(path, qsizetype(length)))
               : QString();
}

bool displayExists()
{
    return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("DISPLAY");
}

// The platforms Qt would try, then offscreen: a display that cannot be reached leaves the game
// running without a window rather than aborting it.
QByteArray platformsToTry()
{
    QByteArray chosen = qgetenv("QT_QPA_PLATFORM");
    if (chosen.isEmpty())
        chosen = qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ? "xcb" : "wayland;xcb";
    return chosen + ";offscreen";
}

int runWithoutWindow(const GameIdentity &identity, int best, QuitOnSignals &quitOnSignals)
{
    quitOnSignals.watch();
    print(stdout,
          QStringLiteral("%1 (%2): no display, best score %3; running until asked to quit\n")
              .arg(identity.title(), identity.identifier)
              .arg(best));
    return QCoreApplication::exec();
}

int play(char *program)
{
    QuitOnSignals quitOnSignals;
    if (!quitOnSignals.isValid()) {
        print(stderr, QStringLiteral("vantry-demo-game: cannot watch for the terminate request\n"));
        return failure;
    }
    const GameIdentity identity = GameIdentity::forExecutable(executablePath());
    int saved = GameFiles::loadBestScore(identity.identifier);
    int qtArgc = 1;
    char *qtArgv[] = {program, nullptr};
    if (!displayExists()) {
        QCoreApplication app(qtArgc, qtArgv);
        return runWithoutWindow(identity, saved, quitOnSignals);
    }
    qputenv("QT_QPA_PLATFORM", platformsToTry());
    QGuiApplication app(qtArgc, qtArgv);
    if (QGuiApplication::platformName() == u"offscreen")
        return runWithoutWindow(identity, saved, quitOnSignals);

    ToyWindow window(identity, saved);
    const auto save = [&] {
        if (window.bestScore() <= saved)
            return true;
        if (!GameFiles::saveBestScore(identity.identifier, window.bestScore())) {
            print(stderr, QStringLiteral("vantry-demo-game: cannot save the best score\n"));
            return false;
        }
        saved = window.bestScore();
        return true;
    };
    QObject::connect(&window, &ToyWindow::runEnded, &window, save);
    window.show();
    quitOnSignals.watch();
    const int status = QGuiApplication::exec();
    return save() ? status : failure;
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    if (arguments == QStringList {QStringLiteral("--help")}) {
        std::fputs(usage, stdout);
        std::fputs(help, stdout);
        return 0;
    }
    return arguments.isEmpty() ? play(argv[0]) : makeIcon(argv[0], arguments);
}
