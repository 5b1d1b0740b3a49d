#pragma once

#include <QCoroTask>
#include <QObject>
#include <QString>

#include <cstdint>

namespace vantry {

class UserDefaults;

/// The highest version ever accepted, for the catalog and for each title. A mark only rises:
/// replay and downgrade protection rest on it, so it never falls in the file either, whatever
/// another launcher process wrote meanwhile. Main thread only.
class HighWaterStore : public QObject
{
    Q_OBJECT

public:
    explicit HighWaterStore(UserDefaults &defaults, QObject *parent = nullptr);

    /// The process-wide store over the standard user defaults, created on first use.
    static HighWaterStore &shared();

    /// The mark under `key`: 0 unless a positive integer is stored there.
    [[nodiscard]] std::int64_t read(const QString &key) const;

    /// Makes the mark at least `value`; an equal or lower value writes nothing. This process
    /// holds the new mark at once; the write to disk runs off the main thread and ends with the
    /// task.
    QCoro::Task<void> raise(const QString &key, std::int64_t value);

Q_SIGNALS:
    /// Emitted before a mark is written.
    void aboutToChange(const QString &key);

private:
    UserDefaults &m_defaults;
};

} // namespace vantry
