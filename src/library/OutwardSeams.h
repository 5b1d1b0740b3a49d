#pragma once

#include <catalog/AppcastItem.h>
#include <catalog/Catalog.h>
#include <copies/AdoptionReport.h>
#include <copies/InstallCopy.h>
#include <copies/LaunchService.h>
#include <copies/LibraryScanner.h>
#include <copies/UninstallService.h>
#include <core/Expected.h>

#include <QCoroTask>
#include <QList>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

namespace vantry {

class AllowlistFetch;

/// How far a seam reaches. Descriptive only: the launcher never branches on it.
class SeamScope
{
public:
    enum class Case { session, production, readOnly, refused };

    [[nodiscard]] static SeamScope session(QString url) { return SeamScope(Case::session, std::move(url)); }
    [[nodiscard]] static SeamScope production() { return SeamScope(Case::production); }
    [[nodiscard]] static SeamScope readOnly() { return SeamScope(Case::readOnly); }
    [[nodiscard]] static SeamScope refused() { return SeamScope(Case::refused); }

    [[nodiscard]] Case discriminator() const { return m_case; }
    [[nodiscard]] const QString &sessionURL() const { return m_url; } // empty unless session

    friend bool operator==(const SeamScope &, const SeamScope &) = default;

private:
    explicit SeamScope(Case value, QString url = {}) : m_case(value), m_url(std::move(url)) {}

    Case m_case;
    QString m_url;
};

/// One way out of the process, labelled with how far it reaches.
template<typename Run>
struct Seam {
    SeamScope scope;
    Run run;
};

/// Every operation through which the library model reaches outside the process. The model is
/// handed one record at creation: the production one, or one of the same shape whose operations
/// answer what a test needs. Every seam is called on the main thread.
struct OutwardSeams {
    using ScanLibrary = std::function<QList<InstalledApp>()>;
    using ScanForCounting = std::function<std::optional<QList<DataSighting>>()>;
    using FetchAppcast = std::function<QCoro::Task<std::optional<AppcastItem>>(Catalog::Entry)>;
    using AssessAdoption = std::function<QCoro::Task<AdoptionReport>(Catalog::Entry, std::int64_t highWaterMark)>;
    using IsRunning = std::function<bool(const QString &bundleId)>;
    using Play = std::function<QCoro::Task<Expected<void, LaunchError>>(Catalog::Entry, InstallCopy,
                                                                        std::int64_t highWaterMark)>;
    using Terminate = std::function<QCoro::Task<bool>(QString bundleId)>;
    using Trash = std::function<Expected<void, QString>(const QString &path)>;

    Seam<ScanLibrary> scanLibrary;
    Seam<ScanForCounting> scanForCounting;
    Seam<FetchAppcast> fetchAppcast;
    Seam<AssessAdoption> assessAdoption;
    Seam<IsRunning> isRunning;
    Seam<Play> play;
    Seam<Terminate> terminate;
    Seam<Trash> trash;
    Seam<UserLibrary> userLibrary;

    /// The launcher's own record: the managed games folder, the registry, the workspace and the
    /// Trash of this machine, and appcasts fetched through `fetch`, which must outlive it.
    [[nodiscard]] static OutwardSeams production(const AllowlistFetch &fetch);
};

} // namespace vantry
