// Feeds arbitrary bytes to the property-list reader, as every Info.plist on disk and the image
// tool's answer reach it. Beyond not crashing, reading must be a pure function of the bytes, and
// what the image tool writes (texts, integers, flags, lists and dictionaries) must read back as it
// was written.
#include <platform/PropertyList.h>

#include <QSet>

#include <cstdlib>

using namespace vantry;

namespace {

// Whether our own writer can say `value` again: no dates, reals or data, no key twice in one
// dictionary.
bool writable(const PlistValue &value)
{
    if (value.text() || value.integer() || value.boolean())
        return true;
    if (const auto *array = value.array()) {
        for (const PlistValue &item : *array) {
            if (!writable(item))
                return false;
        }
        return true;
    }
    if (const auto *dictionary = value.dictionary()) {
        QSet<QString> keys;
        for (const auto &[key, item] : *dictionary) {
            if (keys.contains(key) || !writable(item))
                return false;
            keys.insert(key);
        }
        return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data),
                                                     static_cast<qsizetype>(size));
    const auto value = PlistValue::parse(bytes);
    if (!value)
        return 0;
    // A real that is not a number is unequal to itself; such a value cannot be compared again.
    if (*value == *value && PlistValue::parse(bytes) != value)
        std::abort();
    if (writable(*value)
        && (PlistValue::parse(value->toXml()) != value || PlistValue::parse(value->toBinary()) != value))
        std::abort();
    return 0;
}
