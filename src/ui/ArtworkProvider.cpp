#include <ui/ArtworkProvider.h>

#include <ui/GameArtwork.h>
#include <ui/TitleIconProvider.h>

#include <QMutexLocker>

namespace vantry {

namespace {

// Without a size from QML the frame is drawn at its design size.
QSize frameSize(GameArtwork::Format format, const QSize &requested)
{
    const double height = GameArtwork::designHeight(format);
    const QSize design = format == GameArtwork::Format::hero
        ? QSize(int(height * 4.7), int(height))
        : QSize(int(height * 1.55), int(height));
    if (requested.width() <= 0 || requested.height() <= 0)
        return design;
    // Bounded, so a stray address cannot ask for a huge image.
    return requested.boundedTo(QSize(8192, 4096));
}

} // namespace

ArtworkProvider::ArtworkProvider(std::shared_ptr<const VerifiedIcons> icons)
    : QQuickImageProvider(QQuickImageProvider::Image,
                          QQmlImageProviderBase::ForceAsynchronousImageLoading),
      m_icons(std::move(icons))
{
}

QImage ArtworkProvider::requestImage(const QString &id, QSize *size, const QSize &requestedSize)
{
    const QStringList parts = id.split(u'/');
    GameArtwork::Request request;
    request.entryID = parts.value(0);
    request.format = parts.value(1) == u"hero" ? GameArtwork::Format::hero
                                                : GameArtwork::Format::cover;
    request.theme = themeIDFromRaw(parts.value(2));
    request.appearance.scheme =
        parts.value(3) == u"dark" ? Appearance::Scheme::dark : Appearance::Scheme::light;
    request.size = frameSize(request.format, requestedSize);
    const QString key = id + u'@' + QString::number(request.size.width()) + u'x'
        + QString::number(request.size.height());
    {
        const QMutexLocker lock(&m_mutex);
        if (const auto found = m_drawn.constFind(key); found != m_drawn.cend()) {
            if (size)
                *size = found->size();
            return *found;
        }
    }
    // The digest names the icon: while the address says "none" the art is drawn without it.
    if (parts.value(4, u"none"_qs) != u"none")
        request.icon = m_icons->icon(request.entryID);
    const QImage image = GameArtwork::render(request);
    {
        const QMutexLocker lock(&m_mutex);
        if (m_drawn.size() >= cacheLimit)
            m_drawn.clear();
        m_drawn.insert(key, image);
    }
    if (size)
        *size = image.size();
    return image;
}

} // namespace vantry
