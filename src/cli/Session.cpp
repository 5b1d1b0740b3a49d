#include <cli/Session.h>

#include <catalog/CatalogService.h>
#include <catalog/HighWaterStore.h>
#include <library/OutwardSeams.h>
#include <platform/Paths.h>
#include <vantry/BuildConfig.h>

#include <QCoroFuture>

namespace vantry::Cli {

Expected<std::unique_ptr<Session>, DevelopmentOriginError> Session::create()
{
    auto transport = HttpTransport::fromEnvironment();
    if (!transport)
        return unexpected(transport.error());
    return std::unique_ptr<Session>(new Session(std::move(*transport)));
}

Session::Session(std::unique_ptr<HttpTransport> transport)
    : m_transport(std::move(transport)), m_fetch(*m_transport),
      m_engine(std::make_unique<InstallEngine>(m_transport.get(), &HighWaterStore::shared()))
{
}

QCoro::Task<Expected<void, InstanceLock::Refusal>> Session::start()
{
    // A folder that cannot be made is reported later, by whatever needs it.
    static_cast<void>(Paths::ensureDirectories(Paths::applicationSupportDirectory(),
                                               Paths::managedGamesDirectory()));
    auto lock = InstanceLock::claim(Paths::instanceLockFile());
    if (!lock)
        co_return unexpected(lock.error());
    m_lock.emplace(std::move(*lock));
    auto prepared = InstallEngine::prepare(Paths::downloadsDirectory(), Paths::stagingDirectory());
    co_await prepared;
    m_model = std::make_unique<LibraryModel>(
        OutwardSeams::production(m_fetch),
        std::make_unique<CatalogService>(m_fetch, HighWaterStore::shared(),
                                         QString::fromLatin1(BuildConfig::releasePublicKey)),
        m_engine.get(), &HighWaterStore::shared());
    co_await m_model->refresh();
    co_return {};
}

} // namespace vantry::Cli
