#include <catalog/HighWaterStore.h>

#include <core/OffMain.h>
#include <platform/UserDefaults.h>

#include <QLoggingCategory>

namespace vantry {

Q_LOGGING_CATEGORY(highWaterLog, "com.vantry.launcher.highwater")

HighWaterStore::HighWaterStore(UserDefaults &defaults, QObject *parent) : QObject(parent), m_defaults(defaults) {}

HighWaterStore &HighWaterStore::shared()
{
    static HighWaterStore instance(UserDefaults::standard());
    return instance;
}

std::int64_t HighWaterStore::read(const QString &key) const
{
    const auto value = m_defaults.integer(key);
    return value && *value > 0 ? *value : 0;
}

namespace {

// Writes what the defaults hold back; a free coroutine with its arguments by value, so nothing of
// the store is touched once it suspends.
QCoro::Task<void> storeMark(UserDefaults *defaults, QString key)
{
    if (!defaults)
        co_return;
    auto flush = [defaults] { return defaults->flush(); };
    const auto written = co_await offMain(flush);
    if (!written)
        qCWarning(highWaterLog) << "could not store" << key << written.error().describe();
}

} // namespace

QCoro::Task<void> HighWaterStore::raise(const QString &key, std::int64_t value)
{
    if (read(key) >= value)
        return storeMark(nullptr, key);
    Q_EMIT aboutToChange(key);
    // The mark rises in memory even when the file cannot be written, so this process still refuses
    // anything below it; a failed write is tried again with the next one.
    static_cast<void>(m_defaults.raiseInteger(key, value, UserDefaults::Write::later)); // no disk yet: cannot fail
    return storeMark(&m_defaults, key); // the defaults outlive every store over them
}

} // namespace vantry
