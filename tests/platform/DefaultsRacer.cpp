// Raises one integer of a defaults file through FIRST, FIRST+STEP, ... up to LAST with one long-lived
// store, the way a launcher raises a mark, and fails as soon as the value in the file is seen to
// fall. Two of these run at once against the same file.
//
//   DefaultsRacer FILE KEY FIRST LAST STEP

#include <platform/UserDefaults.h>

#include <QString>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    if (argc != 6)
        return 2;
    const QString file = QString::fromLocal8Bit(argv[1]);
    const QString key = QString::fromLocal8Bit(argv[2]);
    const long long first = std::atoll(argv[3]);
    const long long last = std::atoll(argv[4]);
    const long long step = std::atoll(argv[5]);
    vantry::UserDefaults defaults(file);
    std::int64_t highestSeen = 0;
    for (long long value = first; value <= last; value += step) {
        if (!defaults.raiseInteger(key, value))
            return 3;
        const auto onDisk = vantry::UserDefaults(file).integer(key).value_or(0);
        if (onDisk < highestSeen || onDisk < value) {
            std::fprintf(stderr, "the mark fell to %lld after %lld\n", static_cast<long long>(onDisk),
                         static_cast<long long>(highestSeen));
            return 1;
        }
        highestSeen = onDisk;
    }
    return 0;
}
