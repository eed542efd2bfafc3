#include "files/JsonKeys.h"

#include <QJsonDocument>
#include <QSet>
#include <algorithm>
#include <vector>

namespace History::JsonKeys {

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads the string whose opening quote is at json[i]; leaves i after the closing one.
QString readString(const QByteArray &json, qsizetype &i)
{
    QString text;
    qsizetype run = ++i;
    auto flushRun = [&] { text += QString::fromUtf8(json.constData() + run, i - run); };
    while (i < json.size() && json[i] != '"') {
        if (json[i] != '\\') {
            ++i;
            continue;
        }
        flushRun();
        const char escaped = i + 1 < json.size() ? json[i + 1] : '\0';
        i += 2;
        switch (escaped) {
        case 'b': text += u'\b'; break;
        case 'f': text += u'\f'; break;
        case 'n': text += u'\n'; break;
        case 'r': text += u'\r'; break;
        case 't': text += u'\t'; break;
        case 'u': {
            char16_t unit = 0;
            for (int k = 0; k < 4 && i < json.size(); ++k, ++i)
                unit = char16_t(unit * 16 + std::max(0, hexDigit(json[i])));
            text += QChar(unit);   // a surrogate pair joins up as two units
            break;
        }
        default: text += QLatin1Char(escaped); break;   // \" \\ \/
        }
        run = i;
    }
    flushRun();
    ++i;
    return text;
}

struct Level {
    bool isObject;
    QString name;        // key this value sits under in the enclosing object
    QSet<QString> keys;
};

} // namespace

Result<QJsonObject, Refusal> objectIn(const QByteArray &json)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return Failure{Refusal::NotJson, QStringLiteral("not JSON (%1 at offset %2)")
                                             .arg(parseError.errorString())
                                             .arg(parseError.offset)};
    if (!document.isObject())
        return Failure{Refusal::NotObject, QStringLiteral("not a JSON object")};
    return document.object();
}

std::optional<Duplicate> firstDuplicate(const QByteArray &json)
{
    std::vector<Level> levels;
    bool expectKey = false;
    QString lastKey;
    for (qsizetype i = 0; i < json.size();) {
        const char c = json[i];
        if (c == '"') {
            const QString text = readString(json, i);
            if (expectKey) {
                Level &level = levels.back();
                if (level.keys.contains(text))
                    return Duplicate{text, level.name};
                level.keys.insert(text);
                lastKey = text;
                expectKey = false;
            }
            continue;
        }
        if (c == '{' || c == '[') {
            // Objects inside an array are named after the array.
            const QString name = levels.empty() ? QString()
                                 : levels.back().isObject ? lastKey
                                                          : levels.back().name;
            levels.push_back({c == '{', name, {}});
            expectKey = c == '{';
        } else if (c == '}' || c == ']') {
            if (!levels.empty())
                levels.pop_back();
        } else if (c == ',') {
            expectKey = !levels.empty() && levels.back().isObject;
        }
        ++i;
    }
    return std::nullopt;
}

} // namespace History::JsonKeys
