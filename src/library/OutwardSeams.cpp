#include <library/OutwardSeams.h>

#include <catalog/AllowlistFetch.h>
#include <catalog/AppcastParser.h>
#include <copies/AdoptionService.h>

namespace vantry {

namespace {

// Free coroutines, so that the frame holds its arguments rather than a lambda that may go away.
QCoro::Task<std::optional<AppcastItem>> newestRelease(const AllowlistFetch *fetch, Catalog::Entry entry)
{
    auto request = fetch->data(entry.appcastURL, AllowlistFetch::appcastLimit);
    const auto body = co_await request;
    if (!body)
        co_return std::nullopt;
    co_return AppcastParser::newestItem(*body);
}

QCoro::Task<bool> quitWithinTenSeconds(QString bundleId)
{
    co_return co_await LaunchService::terminate(std::move(bundleId), 10.0);
}

} // namespace

OutwardSeams OutwardSeams::production(const AllowlistFetch &fetch)
{
    const SeamScope production = SeamScope::production();
    return OutwardSeams {
        {production, [] { return LibraryScanner::scanAll(); }},
        {production, [] { return LibraryScanner::sightingsForCounting(); }},
        {SeamScope::readOnly(), [&fetch](Catalog::Entry entry) { return newestRelease(&fetch, std::move(entry)); }},
        {production, &AdoptionService::assessOffMain},
        {production, &LaunchService::isRunning},
        {production,
         [](Catalog::Entry entry, InstallCopy copy, std::int64_t mark) {
             return LaunchService::play(std::move(entry), std::move(copy), mark);
         }},
        {production, &quitWithinTenSeconds},
        {production, &UninstallService::trashToSystemTrash},
        {production, UninstallService::defaultUserLibrary()},
    };
}

} // namespace vantry
