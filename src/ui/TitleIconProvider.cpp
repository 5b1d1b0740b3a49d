#include <ui/TitleIconProvider.h>

#include <QMutexLocker>

namespace vantry {

TitleIconProvider::TitleIconProvider() : QQuickImageProvider(QQuickImageProvider::Image) {}

void TitleIconProvider::setIcons(const QHash<QString, QImage> &icons)
{
    const QMutexLocker lock(&m_mutex);
    m_icons = icons;
}

QImage TitleIconProvider::requestImage(const QString &id, QSize *size, const QSize &requestedSize)
{
    QImage image;
    {
        const QMutexLocker lock(&m_mutex);
        image = m_icons.value(id.section(u'/', 0, 0));
    }
    if (!image.isNull() && requestedSize.isValid())
        image = image.scaled(requestedSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (size)
        *size = image.size();
    return image;
}

} // namespace vantry
