#pragma once

#include <core/Expected.h>

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace vantry::ProcessRunner {

/// What a tool left behind: its termination status (the exit code, or the signal that ended it)
/// and everything it wrote.
struct Result {
    int status = 0;
    QByteArray stdoutBytes;
    QByteArray stderrBytes;
};

struct RunError {
    enum class Kind {
        launchFailed, // "PATH: reason"
        timedOut,     // "PATH exceeded Ns"
    };
    Kind kind = Kind::launchFailed;
    QString text;

    friend bool operator==(const RunError &, const RunError &) = default;
};

/// Runs the executable at `path` with `arguments` (no shell, environment unchanged, standard
/// input from /dev/null), collecting both output streams while it runs, so a chatty tool never
/// blocks on a full pipe. Past `timeoutSeconds` the tool is asked to terminate, then killed two
/// seconds later; no child outlives its limit by more than about four seconds. A non-zero status
/// is a result, not an error. Blocks: call it off the main thread.
[[nodiscard]] Expected<Result, RunError> run(const QString &path, const QStringList &arguments, double timeoutSeconds);

} // namespace vantry::ProcessRunner
