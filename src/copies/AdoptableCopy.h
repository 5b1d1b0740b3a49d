#pragma once

#include <QString>

#include <cstdint>

namespace vantry {

/// A copy installed outside the managed games folder that passed adoption.
struct AdoptableCopy {
    QString canonicalURL; // canonical absolute path of the bundle
    std::int64_t version = 0;
    QString shortVersion;
    bool writable = false;       // the user may write the bundle
    bool parentWritable = false; // the user may write the folder that holds it

    friend bool operator==(const AdoptableCopy &, const AdoptableCopy &) = default;
};

} // namespace vantry
