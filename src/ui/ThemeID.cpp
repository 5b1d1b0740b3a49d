#include <ui/ThemeID.h>

#include <QCoreApplication>

namespace vantry {

QString rawValue(ThemeID id)
{
    switch (id) {
    case ThemeID::modern:
        return QStringLiteral("modern");
    case ThemeID::arcade:
        return QStringLiteral("arcade");
    case ThemeID::atrium:
        return QStringLiteral("atrium");
    case ThemeID::angkor:
        return QStringLiteral("angkor");
    }
    return QStringLiteral("arcade");
}

ThemeID themeIDFromRaw(const QString &raw)
{
    // Exact match only: "Atrium" is not "atrium".
    for (const ThemeID id : allThemeIDs) {
        if (raw == rawValue(id))
            return id;
    }
    return ThemeID::arcade;
}

QString displayName(ThemeID id)
{
    switch (id) {
    case ThemeID::modern:
        return QCoreApplication::translate("ThemeID", "Modern");
    case ThemeID::arcade:
        return QCoreApplication::translate("ThemeID", "Arcade");
    case ThemeID::atrium:
        return QCoreApplication::translate("ThemeID", "Atrium");
    case ThemeID::angkor:
        return QCoreApplication::translate("ThemeID", "Angkor");
    }
    return {};
}

QString pickerSymbol(ThemeID id)
{
    switch (id) {
    case ThemeID::modern:
        return QStringLiteral("circle.lefthalf.filled");
    case ThemeID::arcade:
        return QStringLiteral("gamecontroller.fill");
    case ThemeID::atrium:
        return QStringLiteral("photo.artframe");
    case ThemeID::angkor:
        return QStringLiteral("building.columns.fill");
    }
    return {};
}

QString pickerIconName(ThemeID id)
{
    // Names from the freedesktop icon naming specification, nearest in meaning; the naming
    // specification has no half-filled circle or columns, so those take the theme and building
    // names every icon theme carries.
    switch (id) {
    case ThemeID::modern:
        return QStringLiteral("preferences-desktop-theme");
    case ThemeID::arcade:
        return QStringLiteral("input-gaming");
    case ThemeID::atrium:
        return QStringLiteral("image-x-generic");
    case ThemeID::angkor:
        return QStringLiteral("go-home");
    }
    return {};
}

} // namespace vantry
