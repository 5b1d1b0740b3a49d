#include <cli/Console.h>
#include <cli/Tool.h>
#include <platform/Crypto.h>

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    // Before any thread starts, so that Ctrl-C always reaches the main thread's event loop.
    vantry::Crypto::keepLibraryUntilExit();
    vantry::Cli::Console::catchInterrupts();
    QCoreApplication app(argc, argv);
    return vantry::Cli::run(QCoreApplication::arguments().mid(1));
}
