#include <platform/UserDefaults.h>

#include <core/UniqueFd.h>
#include <platform/FileSystem.h>
#include <platform/Paths.h>

#include <QFile>
#include <QFileInfo>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
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

std::optional<std::int64_t> asInteger(const nlohmann::json &value)
{
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return std::nullopt;
        return static_cast<std::int64_t>(number);
    }
    if (value.is_number_integer())
        return value.get<std::int64_t>();
    return std::nullopt;
}

// An exclusive lock on a file beside the store, held while the store is read and replaced. The
// store itself cannot carry it: each write replaces the file with a new one.
class WriteLock
{
public:
    explicit WriteLock(const QString &storePath)
        : m_fd(::open(QFile::encodeName(storePath + QStringLiteral(".lock")).constData(),
                      O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600))
    {
        if (!m_fd.isValid())
            m_error = SystemError::fromErrno(QStringLiteral("open"), storePath + QStringLiteral(".lock"));
        else if (!lock())
            m_error = SystemError::fromErrno(QStringLiteral("flock"), storePath + QStringLiteral(".lock"));
    }

    [[nodiscard]] const std::optional<SystemError> &error() const { return m_error; }

private:
    bool lock() const
    {
        while (::flock(m_fd.get(), LOCK_EX) != 0) {
            if (errno != EINTR)
                return false;
        }
        return true;
    }

    UniqueFd m_fd; // closing it gives the lock back
    std::optional<SystemError> m_error;
};

} // namespace

struct UserDefaults::Change {
    enum class Kind { replace, remove, raise };
    Kind kind;
    nlohmann::json value; // replace: the value; raise: the integer

    // The value the key takes over `current` (nothing: removed).
    [[nodiscard]] std::optional<nlohmann::json> over(const nlohmann::json *current) const
    {
        switch (kind) {
        case Kind::replace:
            return value;
        case Kind::remove:
            return std::nullopt;
        case Kind::raise: {
            const auto existing = current ? asInteger(*current) : std::nullopt;
            return existing && *existing > value.get<std::int64_t>() ? *current : value;
        }
        }
        return value;
    }
};

struct UserDefaults::State {
    nlohmann::json values;
    std::map<std::string, Change> unsaved;
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
    return asInteger(*found);
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

Expected<void, SystemError> UserDefaults::write(const QString &key, Change change, Write when)
{
    QMutexLocker lock(&m_mutex);
    // Every change stays pending until it is on disk, so a failed write is tried again with the
    // next one instead of being lost when the file is read back.
    const std::string name = key.toStdString();
    const auto found = m_state->values.find(name);
    if (auto value = change.over(found == m_state->values.end() ? nullptr : &*found))
        m_state->values[name] = std::move(*value);
    else
        m_state->values.erase(name);
    // A raise over a change still pending folds the two into one, so the file gets both.
    if (const auto earlier = m_state->unsaved.find(name);
        earlier != m_state->unsaved.end() && change.kind == Change::Kind::raise) {
        const Change &before = earlier->second;
        switch (before.kind) {
        case Change::Kind::raise:
            change.value = *change.over(&before.value);
            break;
        case Change::Kind::replace:
            change = Change {Change::Kind::replace, *change.over(&before.value)};
            break;
        case Change::Kind::remove:
            change = Change {Change::Kind::replace, *change.over(nullptr)};
            break;
        }
    }
    m_state->unsaved.insert_or_assign(name, std::move(change));
    if (when == Write::later)
        return {};
    return writePending();
}

Expected<void, SystemError> UserDefaults::flush()
{
    QMutexLocker lock(&m_mutex);
    return writePending();
}

Expected<void, SystemError> UserDefaults::writePending()
{
    if (m_state->unsaved.empty())
        return {};
    if (auto folder = FileSystem::makeDirectories(QFileInfo(m_filePath).absolutePath(), 0700); !folder)
        return folder;
    const WriteLock fileLock(m_filePath);
    if (fileLock.error())
        return unexpected(*fileLock.error());

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
    for (const auto &[unsavedKey, change] : m_state->unsaved) {
        const auto found = merged.find(unsavedKey);
        if (auto value = change.over(found == merged.end() ? nullptr : &*found))
            merged[unsavedKey] = std::move(*value);
        else
            merged.erase(unsavedKey);
    }
    // What another instance wrote meanwhile is kept, and this process sees it too.
    m_state->values = merged;

    const std::string text = merged.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + '\n';
    auto written = FileSystem::writeFileAtomically(m_filePath, QByteArrayView(text.data(), qsizetype(text.size())), 0600);
    if (written)
        m_state->unsaved.clear();
    return written;
}

Expected<void, SystemError> UserDefaults::setInteger(const QString &key, std::int64_t value)
{
    return write(key, Change {Change::Kind::replace, nlohmann::json(value)});
}

Expected<void, SystemError> UserDefaults::setBoolean(const QString &key, bool value)
{
    return write(key, Change {Change::Kind::replace, nlohmann::json(value)});
}

Expected<void, SystemError> UserDefaults::setText(const QString &key, const QString &value)
{
    return write(key, Change {Change::Kind::replace, nlohmann::json(value.toStdString())});
}

Expected<void, SystemError> UserDefaults::remove(const QString &key)
{
    return write(key, Change {Change::Kind::remove, {}});
}

Expected<void, SystemError> UserDefaults::raiseInteger(const QString &key, std::int64_t value, Write when)
{
    return write(key, Change {Change::Kind::raise, nlohmann::json(value)}, when);
}

} // namespace vantry
