#include <platform/UserDefaults.h>

#include <platform/FileSystem.h>
#include <platform/Paths.h>

#include <QFile>
#include <QFileInfo>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <limits>
#include <map>

namespace vantry {

namespace {

struct Loaded {
    nlohmann::json object = nlohmann::json::object();
    bool unreadable = false; // the file exists but is not a JSON object
};

Loaded load(const QString &path)
{
    auto bytes = FileSystem::readFile(path);
    if (!bytes)
        return {nlohmann::json::object(), bytes.error().code != ENOENT};
    auto parsed = nlohmann::json::parse(bytes->cbegin(), bytes->cend(), nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object())
        return {nlohmann::json::object(), true};
    return {std::move(parsed), false};
}

} // namespace

struct UserDefaults::State {
    nlohmann::json values;
    std::map<std::string, std::optional<nlohmann::json>> unsaved; // nothing: removed
};

UserDefaults::UserDefaults(QString filePath) : m_filePath(std::move(filePath)), m_state(std::make_unique<State>())
{
    m_state->values = load(m_filePath).object;
}

UserDefaults::~UserDefaults() = default;

UserDefaults &UserDefaults::standard()
{
    static UserDefaults instance(Paths::userDefaultsFile());
    return instance;
}

bool UserDefaults::contains(const QString &key) const
{
    QMutexLocker lock(&m_mutex);
    return m_state->values.contains(key.toStdString());
}

std::optional<std::int64_t> UserDefaults::integer(const QString &key) const
{
    QMutexLocker lock(&m_mutex);
    const auto found = m_state->values.find(key.toStdString());
    if (found == m_state->values.end())
        return std::nullopt;
    if (found->is_number_integer() && found->is_number_unsigned()) {
        const auto value = found->get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return std::nullopt;
        return static_cast<std::int64_t>(value);
    }
    if (found->is_number_integer())
        return found->get<std::int64_t>();
    return std::nullopt;
}

std::optional<bool> UserDefaults::boolean(const QString &key) const
{
    QMutexLocker lock(&m_mutex);
    const auto found = m_state->values.find(key.toStdString());
    if (found == m_state->values.end() || !found->is_boolean())
        return std::nullopt;
    return found->get<bool>();
}

std::optional<QString> UserDefaults::text(const QString &key) const
{
    QMutexLocker lock(&m_mutex);
    const auto found = m_state->values.find(key.toStdString());
    if (found == m_state->values.end() || !found->is_string())
        return std::nullopt;
    return QString::fromStdString(found->get<std::string>());
}

Expected<void, SystemError> UserDefaults::write(const QString &key, std::optional<nlohmann::json> value)
{
    QMutexLocker lock(&m_mutex);
    // Every change stays pending until it is on disk, so a failed write is tried again with the
    // next one instead of being lost when the file is read back.
    const std::string name = key.toStdString();
    if (value)
        m_state->values[name] = *value;
    else
        m_state->values.erase(name);
    m_state->unsaved[name] = std::move(value);

    Loaded onDisk = load(m_filePath);
    nlohmann::json merged = std::move(onDisk.object);
    if (onDisk.unreadable) {
        // Keep what we could not read for the user to inspect, under a name of its own; never
        // delete it. What this process knows is the best base for the new file.
        QString aside = m_filePath + QStringLiteral(".unreadable");
        for (int n = 2; QFileInfo::exists(aside) || QFileInfo(aside).isSymLink(); ++n)
            aside = m_filePath + QStringLiteral(".unreadable-") + QString::number(n);
        if (::rename(QFile::encodeName(m_filePath).constData(), QFile::encodeName(aside).constData()) != 0 && errno != ENOENT)
            return unexpected(SystemError::fromErrno(QStringLiteral("rename"), m_filePath));
        merged = m_state->values;
    }
    for (const auto &[unsavedKey, pending] : m_state->unsaved) {
        if (pending)
            merged[unsavedKey] = *pending;
        else
            merged.erase(unsavedKey);
    }
    // What another instance wrote meanwhile is kept, and this process sees it too.
    m_state->values = merged;

    if (auto folder = FileSystem::makeDirectories(QFileInfo(m_filePath).absolutePath(), 0700); !folder)
        return folder;
    const std::string text = merged.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + '\n';
    auto written = FileSystem::writeFileAtomically(m_filePath, QByteArrayView(text.data(), qsizetype(text.size())), 0600);
    if (written)
        m_state->unsaved.clear();
    return written;
}

Expected<void, SystemError> UserDefaults::setInteger(const QString &key, std::int64_t value)
{
    return write(key, nlohmann::json(value));
}

Expected<void, SystemError> UserDefaults::setBoolean(const QString &key, bool value)
{
    return write(key, nlohmann::json(value));
}

Expected<void, SystemError> UserDefaults::setText(const QString &key, const QString &value)
{
    return write(key, nlohmann::json(value.toStdString()));
}

Expected<void, SystemError> UserDefaults::remove(const QString &key)
{
    return write(key, std::nullopt);
}

} // namespace vantry
