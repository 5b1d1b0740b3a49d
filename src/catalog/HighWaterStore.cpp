#include <catalog/HighWaterStore.h>

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

void HighWaterStore::raise(const QString &key, std::int64_t value)
{
    if (read(key) >= value)
        return;
    Q_EMIT aboutToChange(key);
    // The mark rises in memory even when the file cannot be written, so this process still refuses
    // anything below it.
    if (auto written = m_defaults.setInteger(key, value); !written)
        qCWarning(highWaterLog) << "could not store" << key << written.error().describe();
}

} // namespace vantry
