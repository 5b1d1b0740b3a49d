#pragma once

#include <cli/CommandLine.h>
#include <cli/Console.h>

#include <QCoroTask>

namespace vantry::Cli {

class Session;

/// The exit statuses of the tool.
enum Status : int {
    done = 0,
    refused = 1, // the launcher refused or the job failed: the last line of standard error says why
    misused = 2, // a usage error, an unknown title, or a removal not confirmed
    cancelled = Console::interruptedStatus // Ctrl-C cancelled the job
};

/// Runs the command of `invocation` on a started session, through its library model, and gives
/// the exit status. It ends once everything the command wrote is on disk.
[[nodiscard]] QCoro::Task<int> runCommand(Session &session, Console &console,
                                          Invocation invocation);

} // namespace vantry::Cli
