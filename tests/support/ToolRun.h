#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace vantry::test {

/// How a command-line tool ended: its exit status (-1 when it crashed or hung) and its output.
struct ToolRun {
    int status = -1;
    QByteArray out;
    QByteArray err;
};

/// Runs `program` with `arguments` and `input` on its standard input, and waits up to a minute.
ToolRun runTool(const QString &program, const QStringList &arguments, const QByteArray &input = {});

} // namespace vantry::test
