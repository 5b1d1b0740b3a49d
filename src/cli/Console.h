#pragma once

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTextStream>

#include <QCoroTask>

#include <functional>
#include <optional>

namespace vantry::Cli {

/// The tool's side of the terminal: its two output streams, whether a person can answer, Ctrl-C,
/// and lines typed at a prompt. Ctrl-C reaches the main thread's event loop through a pipe that the
/// signal handler writes to; while no command takes it, it ends the tool with status 130.
class Console : public QObject
{
    Q_OBJECT

public:
    static constexpr int interruptedStatus = 130;

    Console();
    ~Console() override;

    /// Lets Ctrl-C reach `interrupt` from now on; call once, before any thread starts.
    static void catchInterrupts();

    /// A line on standard output or standard error, written at once.
    void print(const QString &line);
    void complain(const QString &line);
    /// Text on standard output without a line end, written at once.
    void write(const QString &text);

    /// Standard output is a terminal: progress is drawn in place.
    [[nodiscard]] bool outputIsTerminal() const { return m_outputIsTerminal; }
    /// Standard input and output are terminals: the tool may ask and wait for an answer.
    [[nodiscard]] bool interactive() const { return m_interactive; }

    /// What Ctrl-C does from now on; nothing: end the tool with status 130.
    void onInterrupt(std::function<void()> handler) { m_onInterrupt = std::move(handler); }

    /// The next line typed on standard input, without its line end; nothing at the end of input.
    [[nodiscard]] QCoro::Task<std::optional<QString>> readLine();

Q_SIGNALS:
    void inputArrived();

private:
    void interrupt();

    QTextStream m_out;
    QTextStream m_err;
    bool m_outputIsTerminal = false;
    bool m_interactive = false;
    std::function<void()> m_onInterrupt;
    QSocketNotifier *m_interrupts = nullptr;
    QSocketNotifier *m_input = nullptr;
    QByteArray m_typed;
    bool m_inputEnded = false;
};

} // namespace vantry::Cli
