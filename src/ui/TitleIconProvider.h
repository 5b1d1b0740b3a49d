#pragma once

#include <QHash>
#include <QImage>
#include <QMutex>
#include <QQuickImageProvider>

#include <memory>

namespace vantry {

/// The library model's verified icons by title id, shared by the image providers: handed over
/// from the main thread, read from QML's loader threads.
class VerifiedIcons
{
public:
    void set(const QHash<QString, QImage> &icons);
    /// The title's icon; null when it has none.
    [[nodiscard]] QImage icon(const QString &titleId) const;

private:
    mutable QMutex m_mutex;
    QHash<QString, QImage> m_icons;
};

/// Serves the library model's verified icons to QML as "image://titles/<id>/<pin>": the pin
/// (the icon's digest) changes the address when the icon changes, so QML never shows a stale
/// cached image.
class TitleIconProvider : public QQuickImageProvider
{
public:
    explicit TitleIconProvider(std::shared_ptr<const VerifiedIcons> icons);

    QImage requestImage(const QString &id, QSize *size, const QSize &requestedSize) override;

private:
    std::shared_ptr<const VerifiedIcons> m_icons;
};

} // namespace vantry
