#pragma once

#include <catalog/AllowlistFetch.h>
#include <core/Expected.h>
#include <install/InstallEngine.h>
#include <library/LibraryModel.h>
#include <platform/HttpTransport.h>
#include <platform/InstanceLock.h>

#include <QCoroTask>

#include <memory>
#include <optional>

namespace vantry::Cli {

/// The launcher without its window: the transport of the environment, the install engine and the
/// library model over the production seams, made as the application makes them at its start.
/// Main thread only; it outlives every command run on it.
class Session
{
public:
    /// A session over the environment's development origin; an origin it cannot use is an error.
    [[nodiscard]] static Expected<std::unique_ptr<Session>, DevelopmentOriginError> create();

    /// The application's start-up steps that apply without a window, in its order: the folders
    /// made, the engine's downloads and staging emptied and stale mounts swept (awaited here, so
    /// that nothing of it is cut short when the command ends), then one refresh. Nothing is done
    /// while another launcher process runs, or when the claim on the folders cannot be made.
    QCoro::Task<Expected<void, InstanceLock::Refusal>> start();

    [[nodiscard]] LibraryModel &model() { return *m_model; }
    [[nodiscard]] InstallEngine &engine() { return *m_engine; }

private:
    explicit Session(std::unique_ptr<HttpTransport> transport);

    std::optional<InstanceLock> m_lock;
    std::unique_ptr<HttpTransport> m_transport;
    AllowlistFetch m_fetch;
    std::unique_ptr<InstallEngine> m_engine;
    std::unique_ptr<LibraryModel> m_model;
};

} // namespace vantry::Cli
