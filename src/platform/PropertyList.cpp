#include <platform/PropertyList.h>

#include <platform/FileSystem.h>

#include <plist/plist.h>

#include <limits>
#include <memory>

namespace vantry {

namespace {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using Node = std::unique_ptr<void, PlistFree>;

// Deep enough for any real property list, shallow enough never to exhaust the stack.
constexpr int maximumDepth = 64;

// Property-list dates count from the start of 2001, UTC.
const QDateTime plistEpoch(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);

std::optional<PlistValue> fromNode(plist_t node, int depth)
{
    if (!node || depth > maximumDepth)
        return std::nullopt;
    switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
        char *text = nullptr;
        plist_get_string_val(node, &text);
        QString value = QString::fromUtf8(text ? text : "");
        std::free(text);
        return PlistValue(std::move(value));
    }
    case PLIST_UINT: {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        // libplist reads every integer as unsigned: negative values come back as their two's
        // complement, which the cast restores.
        return PlistValue(static_cast<std::int64_t>(value));
    }
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return PlistValue(value != 0);
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return PlistValue(value);
    }
    case PLIST_DATA: {
        char *data = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &data, &length);
        QByteArray value(data, qsizetype(length));
        std::free(data);
        return PlistValue(std::move(value));
    }
    case PLIST_DATE: {
        int32_t seconds = 0;
        int32_t microseconds = 0;
        plist_get_date_val(node, &seconds, &microseconds);
        return PlistValue(plistEpoch.addMSecs(std::int64_t(seconds) * 1000 + microseconds / 1000));
    }
    case PLIST_ARRAY: {
        PlistValue::Array array;
        const uint32_t size = plist_array_get_size(node);
        for (uint32_t i = 0; i < size; ++i) {
            auto item = fromNode(plist_array_get_item(node, i), depth + 1);
            if (!item)
                return std::nullopt;
            array.push_back(std::move(*item));
        }
        return PlistValue(std::move(array));
    }
    case PLIST_DICT: {
        PlistValue::Dictionary dictionary;
        plist_dict_iter iterator = nullptr;
        plist_dict_new_iter(node, &iterator);
        for (;;) {
            char *key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, iterator, &key, &item);
            if (!item) {
                std::free(key);
                break;
            }
            auto value = fromNode(item, depth + 1);
            QString name = QString::fromUtf8(key ? key : "");
            std::free(key);
            if (!value) {
                std::free(iterator);
                return std::nullopt;
            }
            dictionary.emplace_back(std::move(name), std::move(*value));
        }
        std::free(iterator);
        return PlistValue(std::move(dictionary));
    }
    default:
        return std::nullopt; // keys and UIDs: archives, never an Info.plist
    }
}

// Reads a big-endian unsigned number of `size` bytes at `at`; nothing past the end.
std::optional<std::uint64_t> bigEndian(QByteArrayView bytes, std::uint64_t at, std::uint64_t size)
{
    if (size == 0 || size > 8 || at > std::uint64_t(bytes.size()) || size > std::uint64_t(bytes.size()) - at)
        return std::nullopt;
    std::uint64_t value = 0;
    for (std::uint64_t i = 0; i < size; ++i)
        value = value << 8 | std::uint8_t(bytes[qsizetype(at + i)]);
    return value;
}

// Whether libplist can read this binary property list without aborting: a UTF-16 text holding
// U+0000 trips an assertion in it (its key and text readers compare the length with strlen), and
// Debian builds it with assertions on. Fails closed on a table it cannot walk.
bool binaryTextsAreReadable(QByteArrayView bytes)
{
    constexpr std::uint64_t trailerSize = 32;
    const auto size = std::uint64_t(bytes.size());
    if (size < 8 + trailerSize)
        return false;
    const std::uint64_t trailer = size - trailerSize;
    const auto offsetSize = bigEndian(bytes, trailer + 6, 1);
    const auto objectCount = bigEndian(bytes, trailer + 8, 8);
    const auto tableOffset = bigEndian(bytes, trailer + 24, 8);
    if (!offsetSize || !objectCount || !tableOffset || *offsetSize == 0 || *offsetSize > 8 ||
        *objectCount > size / *offsetSize)
        return false;
    for (std::uint64_t i = 0; i < *objectCount; ++i) {
        const auto offset = bigEndian(bytes, *tableOffset + i * *offsetSize, *offsetSize);
        const auto marker = offset ? bigEndian(bytes, *offset, 1) : std::nullopt;
        if (!marker)
            return false;
        if ((*marker >> 4) != 0x6) // only UTF-16 texts
            continue;
        std::uint64_t length = *marker & 0xf;
        std::uint64_t start = *offset + 1;
        if (length == 0xf) { // the length follows as an integer object
            const auto lengthMarker = bigEndian(bytes, start, 1);
            if (!lengthMarker || (*lengthMarker >> 4) != 0x1 || (*lengthMarker & 0xf) > 3)
                return false;
            const std::uint64_t lengthSize = std::uint64_t(1) << (*lengthMarker & 0xf);
            const auto counted = bigEndian(bytes, start + 1, lengthSize);
            if (!counted)
                return false;
            length = *counted;
            start += 1 + lengthSize;
        }
        if (start > size || length > (size - start) / 2)
            return false;
        for (std::uint64_t unit = 0; unit < length; ++unit) {
            if (bytes[qsizetype(start + 2 * unit)] == 0 && bytes[qsizetype(start + 2 * unit + 1)] == 0)
                return false;
        }
    }
    return true;
}

} // namespace

// Builds the libplist tree of a value; the caller owns it.
static plist_t toNode(const PlistValue &value)
{
    if (const QString *text = value.text())
        return plist_new_string(text->toUtf8().constData());
    if (const auto flag = value.boolean())
        return plist_new_bool(*flag);
    if (const auto integer = value.integer())
        return plist_new_uint(static_cast<uint64_t>(*integer));
    if (const QDateTime *date = value.date()) {
        const std::int64_t milliseconds = plistEpoch.msecsTo(*date);
        return plist_new_date(int32_t(milliseconds / 1000), int32_t(milliseconds % 1000 * 1000));
    }
    if (const auto *array = value.array()) {
        plist_t node = plist_new_array();
        for (const PlistValue &item : *array)
            plist_array_append_item(node, toNode(item));
        return node;
    }
    if (const auto *dictionary = value.dictionary()) {
        plist_t node = plist_new_dict();
        for (const auto &[key, item] : *dictionary)
            plist_dict_set_item(node, key.toUtf8().constData(), toNode(item));
        return node;
    }
    return nullptr;
}

std::optional<PlistValue> PlistValue::parse(QByteArrayView bytes)
{
    if (bytes.isEmpty() || bytes.size() > std::numeric_limits<uint32_t>::max())
        return std::nullopt;
    if (bytes.startsWith("bplist") && !binaryTextsAreReadable(bytes))
        return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), uint32_t(bytes.size()), &root);
    Node owner(root);
    return fromNode(root, 0);
}

std::optional<PlistValue> PlistValue::readInfoPlist(const QString &bundlePath)
{
    const auto bytes = FileSystem::readSmallFile(bundlePath + u"/Contents/Info.plist"_qs, FileSystem::infoPlistLimit);
    if (!bytes)
        return std::nullopt;
    auto plist = parse(*bytes);
    if (!plist || !plist->dictionary())
        return std::nullopt;
    return plist;
}

QByteArray PlistValue::toXml() const
{
    Node node(toNode(*this));
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node.get(), &xml, &length);
    QByteArray result(xml, qsizetype(length));
    plist_to_xml_free(xml);
    return result;
}

QByteArray PlistValue::toBinary() const
{
    Node node(toNode(*this));
    char *binary = nullptr;
    uint32_t length = 0;
    plist_to_bin(node.get(), &binary, &length);
    QByteArray result(binary, qsizetype(length));
    plist_to_bin_free(binary);
    return result;
}

std::optional<std::int64_t> PlistValue::integer() const
{
    if (const auto *value = std::get_if<std::int64_t>(&m_value))
        return *value;
    return std::nullopt;
}

std::optional<bool> PlistValue::boolean() const
{
    if (const auto *value = std::get_if<bool>(&m_value))
        return *value;
    return std::nullopt;
}

const PlistValue *PlistValue::value(QStringView key) const
{
    const Dictionary *entries = dictionary();
    if (!entries)
        return nullptr;
    for (const auto &[name, item] : *entries) {
        if (name == key)
            return &item;
    }
    return nullptr;
}

std::optional<QString> PlistValue::text(QStringView key) const
{
    const PlistValue *item = value(key);
    if (!item || !item->text())
        return std::nullopt;
    return *item->text();
}

} // namespace vantry
