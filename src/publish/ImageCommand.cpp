#include <publish/Arguments.h>
#include <publish/Commands.h>
#include <publish/PublishTool.h>

#include <signing/DiskImage.h>

#include <QFileInfo>

namespace vantry::Publish {

int mkimage(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    QString error;
    const auto parsed = Arguments::parse(arguments, {QStringLiteral("--out")}, {}, error);
    if (!parsed || parsed->positional.size() != 1 || !parsed->value(QStringLiteral("--out"))) {
        err << "vantry-publish mkimage: " << (error.isEmpty() ? QStringLiteral("usage: mkimage BUNDLE --out NAME.dmg") : error) << '\n';
        return usageError;
    }
    const QString bundle = QFileInfo(parsed->positional.first()).absoluteFilePath();
    const QString output = *parsed->value(QStringLiteral("--out"));
    if (!bundle.endsWith(u".app") || !QFileInfo(bundle).isDir()) {
        err << "vantry-publish mkimage: " << bundle << " is not an app bundle\n";
        return usageError;
    }
    // The feed only takes disk images by their name.
    if (!output.endsWith(u".dmg", Qt::CaseInsensitive)) {
        err << "vantry-publish mkimage: the image's name must end in .dmg\n";
        return usageError;
    }
    if (auto made = DiskImage::create(bundle, output); !made) {
        err << "vantry-publish mkimage: " << made.error() << '\n';
        return usageError;
    }
    out << "wrote " << output << " with " << QFileInfo(bundle).fileName() << " at its top\n";
    return success;
}

} // namespace vantry::Publish
