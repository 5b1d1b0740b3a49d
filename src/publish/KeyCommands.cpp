#include <publish/Arguments.h>
#include <publish/Commands.h>
#include <publish/PublishTool.h>

#include <platform/FileSystem.h>
#include <signing/PrivateKeys.h>

#include <QFileInfo>

namespace vantry::Publish {

int keygen(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    QString error;
    const auto parsed = Arguments::parse(arguments, {QStringLiteral("--out")}, {}, error);
    if (!parsed || !parsed->positional.isEmpty() || !parsed->value(QStringLiteral("--out"))) {
        err << "vantry-publish keygen: " << (error.isEmpty() ? QStringLiteral("usage: keygen --out PREFIX") : error)
            << '\n';
        return usageError;
    }
    const QString prefix = *parsed->value(QStringLiteral("--out"));
    const QString keyPath = prefix + QStringLiteral(".key");
    const QString publicPath = prefix + QStringLiteral(".pub");

    // A private key is never overwritten: losing one cannot be undone.
    for (const QString &path : {keyPath, publicPath}) {
        if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
            err << "vantry-publish keygen: " << path << " already exists; not overwriting it\n";
            return usageError;
        }
    }

    const auto pair = Crypto::generateEd25519KeyPair();
    if (!pair) {
        err << "vantry-publish keygen: the key could not be generated\n";
        return usageError;
    }
    if (auto written = FileSystem::writeNewFile(keyPath, pair->privateKeyPem, 0600); !written) {
        err << "vantry-publish keygen: " << written.error().describe() << '\n';
        return usageError;
    }
    const QByteArray publicText = pair->publicKey.toBase64() + '\n';
    if (auto written = FileSystem::writeNewFile(publicPath, publicText, 0644); !written) {
        err << "vantry-publish keygen: " << written.error().describe() << '\n';
        return usageError;
    }
    out << "wrote " << keyPath << " and " << publicPath << '\n';
    return success;
}

int sign(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    QString error;
    const auto parsed = Arguments::parse(arguments, {QStringLiteral("--key")}, {}, error);
    if (!parsed || parsed->positional.size() != 1 || !parsed->value(QStringLiteral("--key"))) {
        err << "vantry-publish sign: " << (error.isEmpty() ? QStringLiteral("usage: sign --key PREFIX.key FILE") : error)
            << '\n';
        return usageError;
    }
    const auto key = FileSystem::readFile(*parsed->value(QStringLiteral("--key")));
    if (!key) {
        err << "vantry-publish sign: " << key.error().describe() << '\n';
        return usageError;
    }
    const auto content = FileSystem::readFile(parsed->positional.first());
    if (!content) {
        err << "vantry-publish sign: " << content.error().describe() << '\n';
        return usageError;
    }
    const auto signature = Crypto::ed25519Sign(*key, *content);
    if (!signature) {
        err << "vantry-publish sign: " << *parsed->value(QStringLiteral("--key"))
            << " is not an Ed25519 private key\n";
        return usageError;
    }
    out << QString::fromLatin1(signature->toBase64()) << '\n';
    return success;
}

} // namespace vantry::Publish
