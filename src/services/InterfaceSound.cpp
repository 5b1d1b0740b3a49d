#include <services/InterfaceSound.h>

namespace vantry {

std::optional<InterfaceSound> soundForChange(TitleState::Case before, TitleState::Case after)
{
    if (before == TitleState::Case::installing && after == TitleState::Case::installed)
        return InterfaceSound::installFinished;
    if (before != TitleState::Case::failed && after == TitleState::Case::failed)
        return InterfaceSound::failure;
    return std::nullopt;
}

QList<InterfaceSound> soundsForStates(const QHash<QString, TitleState> &before,
                                      const QHash<QString, TitleState> &after)
{
    QList<InterfaceSound> sounds;
    for (auto it = after.constBegin(); it != after.constEnd(); ++it) {
        const auto seen = before.constFind(it.key());
        if (seen == before.constEnd())
            continue;
        if (const auto sound = soundForChange(seen->discriminator(), it->discriminator()))
            sounds.append(*sound);
    }
    return sounds;
}

} // namespace vantry
