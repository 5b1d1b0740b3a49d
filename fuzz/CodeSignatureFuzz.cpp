// Feeds arbitrary bytes to the readers of the code signature's formats: the certificate, the
// manifest, the notarization ticket, manifest path text and the requirement. The first byte picks
// the reader. Beyond not crashing, whatever a reader accepts must be exactly its canonical form.
#include <platform/CodeSignature.h>

#include <cstdlib>

using namespace vantry;
using namespace vantry::CodeSignature;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void certificate(QByteArrayView bytes)
{
    const auto parsed = Certificate::parse(bytes);
    if (!parsed)
        return;
    check(parsed->bytes() == bytes && isTeamIdentifier(parsed->team) &&
          parsed->publicKey.size() == 32 && parsed->signature.size() == 64 &&
          bytes.startsWith(parsed->signedBytes()));
}

void manifest(QByteArrayView bytes)
{
    const auto parsed = Manifest::parse(bytes);
    if (!parsed)
        return;
    check(parsed->bytes() == bytes && isTeamIdentifier(parsed->team) &&
          isBundleIdentifier(parsed->identifier));
    for (size_t i = 0; i < parsed->entries.size(); ++i) {
        const auto &entry = parsed->entries[i];
        check(i == 0 || parsed->entries[i - 1].path < entry.path);
        check(parsed->find(entry.path) == &entry);
        check(!entry.path.startsWith('/') && !entry.path.endsWith('/') &&
              !entry.path.contains("//"));
        check(decodePath(encodePath(entry.path)) == entry.path);
    }
    // Resolving every link terminates, whatever the links are.
    (void)firstLinkOutside(*parsed);
}

void ticket(QByteArrayView bytes)
{
    const auto parsed = NotarizationTicket::parse(bytes);
    if (!parsed)
        return;
    check(parsed->bytes() == bytes && parsed->manifestDigest.size() == 32 &&
          parsed->signature.size() == 64);
}

void pathText(QByteArrayView bytes)
{
    check(decodePath(encodePath(bytes)) == bytes);
    if (const auto raw = decodePath(bytes))
        check(encodePath(*raw) == bytes);
}

void requirement(QByteArrayView bytes)
{
    const auto team = requiredTeam(QString::fromUtf8(bytes));
    if (!team)
        return;
    check(isTeamIdentifier(*team) && requiredTeam(developerIdRequirement(*team)) == team);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const QByteArrayView bytes(reinterpret_cast<const char *>(data) + 1,
                               static_cast<qsizetype>(size - 1));
    switch (data[0] % 5) {
    case 0:
        certificate(bytes);
        break;
    case 1:
        manifest(bytes);
        break;
    case 2:
        ticket(bytes);
        break;
    case 3:
        pathText(bytes);
        break;
    default:
        requirement(bytes);
        break;
    }
    return 0;
}
