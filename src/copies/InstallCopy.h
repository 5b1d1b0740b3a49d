#pragma once

#include <copies/AdoptableCopy.h>
#include <copies/LibraryScanner.h>

#include <QList>
#include <QString>
#include <QStringView>

#include <optional>

namespace vantry {

/// One copy of a title on disk.
struct InstallCopy {
    /// How the launcher came to know the copy.
    enum class Origin {
        managed, // in the managed games folder, installed by the launcher
        adopted, // installed by other means and accepted by adoption
    };

    QString canonicalURL; // AdoptionModel::canonical of the bundle
    InstalledObservation observation;
    Origin origin = Origin::managed;
    bool writable = false;
    bool parentWritable = false;

    /// "managed" or "adopted".
    [[nodiscard]] static QString rawValue(Origin origin);
    /// The origin whose raw text is exactly `text`, if any.
    [[nodiscard]] static std::optional<Origin> originFromRawValue(QStringView text);

    /// The copy as handed to an update in place: absent for a managed copy.
    [[nodiscard]] std::optional<AdoptableCopy> adoptableCopy() const;

    friend bool operator==(const InstallCopy &, const InstallCopy &) = default;
};

/// The copies of one title and the one that counts.
struct InstallResolution {
    InstallCopy current; // launched, updated and shown as installed
    QList<InstallCopy> copies; // all of them, current included, by canonical path; paths distinct

    friend bool operator==(const InstallResolution &, const InstallResolution &) = default;
};

} // namespace vantry
