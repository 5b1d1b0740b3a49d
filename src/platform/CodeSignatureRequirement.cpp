// The code requirement: the one text form the launcher checks against, and its reader.
#include <platform/CodeSignature.h>

#include <vantry/BuildConfig.h>

#include <algorithm>
#include <vector>

namespace vantry::CodeSignature {

namespace {

constexpr char developerIdIntermediateMarker[] = "1.2.840.113635.100.6.2.6";
constexpr char developerIdApplicationMarker[] = "1.2.840.113635.100.6.1.13";

struct Token {
    enum class Kind { word, open, close, equals, string } kind;
    QStringView text;
};

bool isWordCharacter(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '.' ||
           u == '_';
}

std::optional<std::vector<Token>> tokenize(QStringView text)
{
    std::vector<Token> tokens;
    qsizetype i = 0;
    while (i < text.size()) {
        const QChar c = text[i];
        if (c == u' ' || c == u'\t' || c == u'\n' || c == u'\r') {
            ++i;
        } else if (c == u'[' || c == u']' || c == u'=') {
            tokens.push_back({c == u'['   ? Token::Kind::open
                              : c == u']' ? Token::Kind::close
                                          : Token::Kind::equals,
                              text.sliced(i, 1)});
            ++i;
        } else if (c == u'"') {
            const qsizetype start = ++i;
            while (i < text.size() && text[i] != u'"') {
                if (text[i] == u'\\' || text[i].unicode() < 0x20)
                    return std::nullopt;
                ++i;
            }
            if (i == text.size())
                return std::nullopt;
            tokens.push_back({Token::Kind::string, text.sliced(start, i - start)});
            ++i;
        } else if (isWordCharacter(c)) {
            const qsizetype start = i;
            while (i < text.size() && isWordCharacter(text[i]))
                ++i;
            tokens.push_back({Token::Kind::word, text.sliced(start, i - start)});
        } else {
            return std::nullopt;
        }
    }
    return tokens;
}

bool isCertificateSlot(QStringView slot)
{
    return slot == u"leaf" ||
           (!slot.isEmpty() && std::all_of(slot.begin(), slot.end(), [](QChar c) {
               return c.isDigit() && c.unicode() < 0x80;
           }));
}

} // namespace

QString developerIdRequirement()
{
    return developerIdRequirement(QString::fromLatin1(BuildConfig::developerTeamId));
}

QString developerIdRequirement(QStringView team)
{
    return QStringLiteral("anchor apple generic and certificate 1[field.%1] and certificate "
                          "leaf[field.%2] and "
                          "certificate leaf[subject.OU] = \"%3\"")
        .arg(QLatin1String(developerIdIntermediateMarker),
             QLatin1String(developerIdApplicationMarker), team);
}

std::optional<QString> requiredTeam(QStringView requirement)
{
    const auto tokens = tokenize(requirement);
    if (!tokens || tokens->empty())
        return std::nullopt;
    std::optional<QString> team;
    size_t i = 0;
    const auto word = [&](QStringView expected) {
        if (i < tokens->size() && (*tokens)[i].kind == Token::Kind::word &&
            (*tokens)[i].text == expected) {
            ++i;
            return true;
        }
        return false;
    };
    const auto take = [&](Token::Kind kind) -> std::optional<QStringView> {
        if (i < tokens->size() && (*tokens)[i].kind == kind)
            return (*tokens)[i++].text;
        return std::nullopt;
    };
    for (;;) {
        if (word(u"anchor")) {
            // The anchor built into the launcher stands where Apple's root stands.
            if (!word(u"apple") || !word(u"generic"))
                return std::nullopt;
        } else if (word(u"certificate")) {
            const auto slot = take(Token::Kind::word);
            if (!slot || !isCertificateSlot(*slot) || !take(Token::Kind::open))
                return std::nullopt;
            const auto key = take(Token::Kind::word);
            if (!key || !take(Token::Kind::close))
                return std::nullopt;
            if (*key == u"subject.OU") {
                if (*slot != u"leaf" || !take(Token::Kind::equals) || team)
                    return std::nullopt;
                const auto value = take(Token::Kind::string);
                if (!value || !isTeamIdentifier(*value))
                    return std::nullopt;
                team = value->toString();
            } else if (key->startsWith(u"field.")) {
                // Every certificate the anchor issues is a Developer ID Application certificate,
                // so the two Developer ID markers hold; a marker this reader does not know cannot
                // be honoured.
                const QStringView oid = key->sliced(6);
                const bool known =
                    (*slot == u"1" && oid == QLatin1String(developerIdIntermediateMarker)) ||
                    (*slot == u"leaf" && oid == QLatin1String(developerIdApplicationMarker));
                if (!known)
                    return std::nullopt;
            } else {
                return std::nullopt;
            }
        } else {
            return std::nullopt;
        }
        if (i == tokens->size())
            break;
        if (!word(u"and"))
            return std::nullopt;
    }
    return team;
}

} // namespace vantry::CodeSignature
