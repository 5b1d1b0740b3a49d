#pragma once

#include <core/Expected.h>
#include <platform/SystemError.h>

#include <QMutex>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

namespace vantry {

/// The launcher's user defaults: a typed key-value store kept as one JSON object in a file.
///
/// It keeps an integer, a boolean and a text apart, as the rules that read it depend on: a value
/// is only returned by the accessor of its own type. Values are held in memory and every change
/// is written through atomically, merged into what the file holds at that moment so that keys
/// written by another instance are kept. A file that cannot be read as a JSON object is set aside
/// (renamed, never deleted) before the first change is written.
class UserDefaults
{
public:
    explicit UserDefaults(QString filePath);
    ~UserDefaults();
    UserDefaults(const UserDefaults &) = delete;
    UserDefaults &operator=(const UserDefaults &) = delete;

    /// The process-wide store at the user-defaults file of Paths, created on first use.
    static UserDefaults &standard();

    [[nodiscard]] const QString &filePath() const { return m_filePath; }

    [[nodiscard]] bool contains(const QString &key) const;
    /// The value when it is a JSON integer that fits 64 signed bits.
    [[nodiscard]] std::optional<std::int64_t> integer(const QString &key) const;
    [[nodiscard]] std::optional<bool> boolean(const QString &key) const;
    [[nodiscard]] std::optional<QString> text(const QString &key) const;

    // A failed write keeps the new value in memory for this process and reports the error.
    Expected<void, SystemError> setInteger(const QString &key, std::int64_t value);
    Expected<void, SystemError> setBoolean(const QString &key, bool value);
    Expected<void, SystemError> setText(const QString &key, const QString &value);
    Expected<void, SystemError> remove(const QString &key);

    enum class Write { now, later };
    /// Makes the integer under `key` at least `value`, here and in the file: never lower than what
    /// any instance wrote there, whatever this one last read. With `Write::later` only this
    /// instance knows it until `flush`, so the caller can take the write off its thread.
    Expected<void, SystemError> raiseInteger(const QString &key, std::int64_t value, Write when = Write::now);
    /// Writes the changes not yet in the file.
    Expected<void, SystemError> flush();

private:
    struct State;
    struct Change;
    Expected<void, SystemError> write(const QString &key, Change change, Write when = Write::now);
    Expected<void, SystemError> writePending();

    QString m_filePath;
    mutable QMutex m_mutex;
    std::unique_ptr<State> m_state;
};

} // namespace vantry
