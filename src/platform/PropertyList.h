#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

namespace vantry {

/// A property-list value (XML or binary), read and written with libplist. Dates are kept (an
/// Info.plist may hold one); keys and UIDs, which only archives use, make a list unreadable.
class PlistValue
{
public:
    using Array = std::vector<PlistValue>;
    using Dictionary = std::vector<std::pair<QString, PlistValue>>; // in document order

    PlistValue() : m_value(Dictionary {}) {}
    PlistValue(QString text) : m_value(std::move(text)) {}
    PlistValue(const char *text) : m_value(QString::fromUtf8(text)) {}
    PlistValue(std::int64_t integer) : m_value(integer) {}
    PlistValue(int integer) : m_value(std::int64_t(integer)) {}
    PlistValue(bool flag) : m_value(flag) {}
    PlistValue(double real) : m_value(real) {}
    PlistValue(QByteArray data) : m_value(std::move(data)) {}
    PlistValue(QDateTime date) : m_value(std::move(date)) {}
    PlistValue(Array array) : m_value(std::move(array)) {}
    PlistValue(Dictionary dictionary) : m_value(std::move(dictionary)) {}

    /// The property list in `bytes`, XML or binary; nothing when it is neither.
    [[nodiscard]] static std::optional<PlistValue> parse(QByteArrayView bytes);

    /// The Info.plist dictionary of the bundle at `bundlePath`; nothing when it is not a readable
    /// dictionary. The bundle may be anyone's: the file is read as FileSystem::readSmallFile reads,
    /// its own link never followed, at most FileSystem::infoPlistLimit bytes.
    [[nodiscard]] static std::optional<PlistValue> readInfoPlist(const QString &bundlePath);

    [[nodiscard]] QByteArray toXml() const;
    [[nodiscard]] QByteArray toBinary() const;

    [[nodiscard]] const QString *text() const { return std::get_if<QString>(&m_value); }
    [[nodiscard]] std::optional<std::int64_t> integer() const;
    [[nodiscard]] std::optional<bool> boolean() const;
    [[nodiscard]] const QDateTime *date() const { return std::get_if<QDateTime>(&m_value); }
    [[nodiscard]] const Array *array() const { return std::get_if<Array>(&m_value); }
    [[nodiscard]] const Dictionary *dictionary() const { return std::get_if<Dictionary>(&m_value); }

    /// In a dictionary: the value under `key`, if any.
    [[nodiscard]] const PlistValue *value(QStringView key) const;
    /// In a dictionary: the text under `key`, when there is one.
    [[nodiscard]] std::optional<QString> text(QStringView key) const;

    friend bool operator==(const PlistValue &, const PlistValue &) = default;

private:
    std::variant<QString, std::int64_t, bool, double, QByteArray, QDateTime, Array, Dictionary> m_value;
};

} // namespace vantry
