#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

namespace vantry::Publish {

/// A command's arguments: "--name VALUE" options, "--name" flags and positionals. "--" ends the
/// options. Unknown or repeated options are errors.
struct Arguments {
    QStringList positional;
    QHash<QString, QString> values;
    QSet<QString> flags;

    [[nodiscard]] std::optional<QString> value(const QString &name) const
    {
        const auto found = values.constFind(name);
        return found == values.cend() ? std::nullopt : std::optional<QString>(*found);
    }

    /// Parses `arguments`, or returns nothing and says why in `error`.
    [[nodiscard]] static std::optional<Arguments> parse(const QStringList &arguments,
                                                        const QSet<QString> &valueOptions,
                                                        const QSet<QString> &flagOptions, QString &error)
    {
        Arguments parsed;
        bool optionsEnded = false;
        for (qsizetype i = 0; i < arguments.size(); ++i) {
            const QString &argument = arguments[i];
            if (optionsEnded || !argument.startsWith(u"--") || argument.size() == 2) {
                if (argument == u"--" && !optionsEnded) {
                    optionsEnded = true;
                    continue;
                }
                parsed.positional.append(argument);
                continue;
            }
            if (parsed.values.contains(argument) || parsed.flags.contains(argument)) {
                error = QStringLiteral("%1 given twice").arg(argument);
                return std::nullopt;
            }
            if (flagOptions.contains(argument)) {
                parsed.flags.insert(argument);
            } else if (valueOptions.contains(argument)) {
                if (i + 1 >= arguments.size()) {
                    error = QStringLiteral("%1 needs a value").arg(argument);
                    return std::nullopt;
                }
                parsed.values.insert(argument, arguments[++i]);
            } else {
                error = QStringLiteral("unknown option %1").arg(argument);
                return std::nullopt;
            }
        }
        return parsed;
    }
};

} // namespace vantry::Publish
