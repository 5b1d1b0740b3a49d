#include <cli/CommandLine.h>

#include <cli/Texts.h>

#include <algorithm>
#include <array>

namespace vantry::Cli {

namespace {

enum Option : unsigned { jsonOption = 1, yesOption = 2, withDataOption = 4, copyOption = 8 };

struct CommandSpec {
    Command command;
    const char *name;
    const char *arguments;
    const char *summary;
    bool takesTitle;
    unsigned options;
};

constexpr std::array<CommandSpec, 9> commands {{
    {Command::list, "list", "[--json]",
     "every title of the catalog in catalog order, with its state, installed build, copies and "
     "any\n"
     "blocked update; --json prints one JSON object",
     false, jsonOption},
    {Command::install, "install", "ID",
     "install or update the title and wait for the job to end; Ctrl-C cancels a job that is still\n"
     "queued or downloading (exit 130)",
     true, 0},
    {Command::installManaged, "install-managed", "ID",
     "install a managed copy in place of an update that the adopted copy cannot take", true, 0},
    {Command::play, "play", "ID", "start the title's game and return once it runs", true, 0},
    {Command::quitAndUpdate, "quit-and-update", "ID",
     "ask the running game to quit, then install its update and wait for it", true, 0},
    {Command::copies, "copies", "ID [--json]", "every copy of the title on this machine", true,
     jsonOption},
    {Command::remove, "remove", "ID [--copy PATH] [--with-data] [--yes]",
     "move a copy of the title (its only one unless PATH names another) to the Trash, with its\n"
     "saved data when --with-data is given and no other copy uses it; asks first on a terminal,\n"
     "otherwise needs --yes",
     true, copyOption | withDataOption | yesOption},
    {Command::removeOthers, "remove-others", "ID [--yes]",
     "move every copy of the title but the current one to the Trash; asks first on a terminal,\n"
     "otherwise needs --yes",
     true, yesOption},
    {Command::verify, "verify", "ID [--json]",
     "check every copy of the title with the launcher's code-signature check and notarization\n"
     "assessment, naming what fails; exit 0 when every copy passes",
     true, jsonOption},
}};

const CommandSpec &specOf(Command command)
{
    return *std::find_if(commands.cbegin(), commands.cend(),
                         [command](const CommandSpec &spec) { return spec.command == command; });
}

QString usageLine(const CommandSpec &spec)
{
    return QStringLiteral("vantry-cli [-v] %1 %2")
        .arg(QLatin1String(spec.name), QLatin1String(spec.arguments));
}

// Each option with the bit that allows it.
constexpr std::array<std::pair<const char *, unsigned>, 4> options {
    {{"--json", jsonOption},
     {"--yes", yesOption},
     {"--with-data", withDataOption},
     {"--copy", copyOption}}};

} // namespace

QString toolUsage()
{
    QString usage = text("usage: vantry-cli [-v] COMMAND [ARGUMENTS]\n"
                         "       vantry-cli --help | COMMAND --help\n\ncommands:\n");
    for (const CommandSpec &spec : commands) {
        usage += QStringLiteral("  %1 %2\n      ")
                     .arg(QLatin1String(spec.name), QLatin1String(spec.arguments));
        usage += text(spec.summary).replace(u'\n', u"\n      "_qs) + u'\n';
    }
    usage += text(
        "\n-v shows the launcher's log lines on standard error.\n"
        "Exit status: 0 done, 1 refused or failed (the last line of standard error says why),\n"
        "2 usage error, unknown title or a removal not confirmed, 130 cancelled with Ctrl-C.\n");
    return usage;
}

QString commandUsage(Command command)
{
    const CommandSpec &spec = specOf(command);
    return text("usage: %1\n\n%2\n").arg(usageLine(spec), text(spec.summary));
}

Expected<Invocation, UsageError> parseCommandLine(const QStringList &arguments)
{
    Invocation invocation;
    qsizetype next = 0;
    for (; next < arguments.size() && (arguments[next] == u"-v" || arguments[next] == u"--verbose");
         ++next)
        invocation.verbose = true;
    if (next == arguments.size())
        return unexpected(UsageError {text("no command given"), toolUsage()});
    const QString &name = arguments[next++];
    if (name == u"--help" || name == u"-h" || name == u"help") {
        invocation.help = true;
        return invocation;
    }
    const auto spec =
        std::find_if(commands.cbegin(), commands.cend(),
                     [&name](const CommandSpec &each) { return name == QLatin1String(each.name); });
    if (spec == commands.cend())
        return unexpected(UsageError {text("unknown command '%1'").arg(name),
                                      text("Run 'vantry-cli --help' to see the commands.")});
    invocation.command = spec->command;
    const auto refuse = [&](const QString &message) {
        return unexpected(UsageError {message, text("usage: %1\n").arg(usageLine(*spec))});
    };

    unsigned seen = 0;
    bool optionsEnded = false;
    for (; next < arguments.size(); ++next) {
        const QString &argument = arguments[next];
        if (!optionsEnded && (argument == u"--help" || argument == u"-h")) {
            invocation.help = true;
            return invocation;
        }
        if (!optionsEnded && argument == u"--") {
            optionsEnded = true;
            continue;
        }
        if (optionsEnded || !argument.startsWith(u'-')) {
            if (!spec->takesTitle || !invocation.titleId.isEmpty())
                return refuse(text("unexpected argument '%1'").arg(argument));
            invocation.titleId = argument;
            continue;
        }
        const auto option =
            std::find_if(options.cbegin(), options.cend(), [&argument](const auto &each) {
                return argument == QLatin1String(each.first);
            });
        if (option == options.cend() || !(spec->options & option->second))
            return refuse(text("unknown option %1").arg(argument));
        if (seen & option->second)
            return refuse(text("%1 given twice").arg(argument));
        seen |= option->second;
        if (option->second == copyOption) {
            if (++next == arguments.size())
                return refuse(text("--copy needs a path"));
            invocation.copyPath = arguments[next];
        }
    }
    if (spec->takesTitle && invocation.titleId.isEmpty())
        return refuse(text("no title ID given"));
    invocation.json = seen & jsonOption;
    invocation.yes = seen & yesOption;
    invocation.withData = seen & withDataOption;
    return invocation;
}

} // namespace vantry::Cli
