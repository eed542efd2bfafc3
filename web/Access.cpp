#include "web/Access.h"

#include <QCryptographicHash>
#include <QFile>
#include <QList>

namespace Web {

namespace {

const QByteArray CookieName = QByteArrayLiteral("calitune_token");

QByteArray hashOf(const QByteArray &text)
{
    return QCryptographicHash::hash(text, QCryptographicHash::Sha256);
}

// Takes as long whatever the bytes: equal lengths, every byte looked at.
bool sameBytes(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char differ = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return differ == 0;
}

QByteArray cookieValue(const QByteArray &cookies)
{
    for (const QByteArray &pair : cookies.split(';')) {
        const QByteArray trimmed = pair.trimmed();
        if (trimmed.startsWith(CookieName + '='))
            return trimmed.mid(CookieName.size() + 1);
    }
    return {};
}

} // namespace

Access::Access(const QByteArray &token) : m_hash(hashOf(token)) {}

bool Access::isToken(const QByteArray &given) const
{
    return open() || sameBytes(hashOf(given), m_hash);
}

bool Access::allows(const QByteArray &authorization, const QByteArray &cookies) const
{
    if (open())
        return true;
    if (authorization.startsWith("Bearer ") && isToken(authorization.mid(7).trimmed()))
        return true;
    const QByteArray fromCookie = QByteArray::fromHex(cookieValue(cookies));
    return sameBytes(fromCookie, m_hash);
}

QByteArray Access::cookie() const
{
    return CookieName + '=' + m_hash.toHex() + "; Path=/; HttpOnly; SameSite=Strict";
}

Result<QByteArray, TokenError> readToken(const QString &file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return Failure{TokenError::Unreadable, QStringLiteral("--token-file %1: %2").arg(file, f.errorString())};
    QByteArray token = f.read(4096).trimmed();
    if (token.isEmpty())
        return Failure{TokenError::Empty, QStringLiteral("--token-file %1: the file holds no token").arg(file)};
    return token;
}

} // namespace Web
