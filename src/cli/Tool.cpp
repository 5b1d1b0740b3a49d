#include <cli/Tool.h>

#include <cli/Commands.h>
#include <cli/Console.h>
#include <cli/Session.h>
#include <cli/Texts.h>
#include <platform/Paths.h>

#include <QCoroTask>

#include <cstdio>

namespace vantry::Cli {

namespace {

// Log lines are for whoever asks for them (-v or the Qt logging rules); a fatal one still says
// why the tool stops.
void dropLogLines(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qUtf8Printable(message));
}

QString originProblem(DevelopmentOriginError error)
{
    switch (error) {
    case DevelopmentOriginError::badConnectTo:
        return text("vantry-cli: VANTRY_CONNECT_TO is not ADDRESS:PORT");
    case DevelopmentOriginError::unreadableExtraCa:
        return text("vantry-cli: VANTRY_EXTRA_CA names no readable PEM certificate");
    }
    Q_UNREACHABLE();
}

QCoro::Task<int> startAndRun(Session *session, Console *console, Invocation invocation)
{
    const auto started = co_await session->start();
    if (!started) {
        switch (started.error()) {
        case InstanceLock::Refusal::held:
            console->complain(text("Vantry is already running; try again when it has finished."));
            break;
        case InstanceLock::Refusal::unopenable:
            console->complain(text("Vantry cannot claim its folder %1.").arg(Paths::applicationSupportDirectory()));
            break;
        }
        co_return refused;
    }
    co_return co_await runCommand(*session, *console, std::move(invocation));
}

} // namespace

int run(const QStringList &arguments)
{
    Console console;
    const auto invocation = parseCommandLine(arguments);
    if (!invocation) {
        console.complain(u"vantry-cli: "_qs + invocation.error().message);
        console.complain(invocation.error().usage.trimmed());
        return misused;
    }
    if (invocation->help) {
        console.write(invocation->command ? commandUsage(*invocation->command) : toolUsage());
        return done;
    }
    if (!invocation->verbose && !qEnvironmentVariableIsSet("QT_LOGGING_RULES"))
        qInstallMessageHandler(dropLogLines);
    auto session = Session::create();
    if (!session) {
        console.complain(originProblem(session.error()));
        return misused;
    }
    return QCoro::waitFor(startAndRun(session->get(), &console, *invocation));
}

} // namespace vantry::Cli
