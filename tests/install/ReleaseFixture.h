#pragma once

#include <catalog/Catalog.h>
#include <copies/InstallPlanner.h>

#include <support/BundleBuilder.h>
#include <support/TestServer.h>

#include <QString>

namespace vantry::test {

/// The catalog entry of a test game: `id`, identifier com.vantry.test.<id>.
Catalog::Entry gameEntry(const QString &id);

/// A bundle for `entry` at build `version` ("1.<version>"), ready to be changed further.
BundleBuilder gameBundle(const Catalog::Entry &entry, int version);

/// Builds `bundle` in `scratch`, makes its release image with the publishing tool's code, signs
/// the image with the development release key and serves it at /releases/<id>-<version>.dmg.
/// Gives the plan that installs it; an empty plan (no URL) when any part failed.
InstallPlan publish(TestServer &server, const QString &scratch, const Catalog::Entry &entry, int version,
                    const BundleBuilder &bundle);

/// Serves the image file at `image` at the path of `plan`'s URL and sets the plan's length and
/// signature to the image's.
bool serveImage(TestServer &server, const QString &image, InstallPlan &plan);

/// The Base64 signature of the file at `path` under the development release key.
QString releaseSignature(const QString &path);

/// Entries left in `folder` (hidden ones too); none when it does not exist.
QStringList entriesOf(const QString &folder);

/// True when no mount lies at or below `folder`.
bool nothingMountedUnder(const QString &folder);

} // namespace vantry::test
