#include <ui/TitleIconProvider.h>

#include <QMutexLocker>

namespace vantry {

void VerifiedIcons::set(const QHash<QString, QImage> &icons)
{
    const QMutexLocker lock(&m_mutex);
    m_icons = icons;
}

QImage VerifiedIcons::icon(const QString &titleId) const
{
    const QMutexLocker lock(&m_mutex);
    return m_icons.value(titleId);
}

TitleIconProvider::TitleIconProvider(std::shared_ptr<const VerifiedIcons> icons)
    : QQuickImageProvider(QQuickImageProvider::Image), m_icons(std::move(icons))
{
}

QImage TitleIconProvider::requestImage(const QString &id, QSize *size, const QSize &requestedSize)
{
    QImage image = m_icons->icon(id.section(u'/', 0, 0));
    if (!image.isNull() && requestedSize.isValid())
        image = image.scaled(requestedSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (size)
        *size = image.size();
    return image;
}

} // namespace vantry
