#pragma once

#include <QHash>
#include <QImage>
#include <QMutex>
#include <QQuickImageProvider>

namespace vantry {

/// Serves the library model's verified icons to QML as "image://titles/<id>/<pin>": the pin
/// (the icon's digest) changes the address when the icon changes, so QML never shows a stale
/// cached image. Images are handed over from the main thread; QML may ask from its loader thread.
class TitleIconProvider : public QQuickImageProvider
{
public:
    TitleIconProvider();

    void setIcons(const QHash<QString, QImage> &icons);

    QImage requestImage(const QString &id, QSize *size, const QSize &requestedSize) override;

private:
    QMutex m_mutex;
    QHash<QString, QImage> m_icons;
};

} // namespace vantry
