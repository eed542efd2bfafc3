#pragma once
// Who may read the pages when the server listens beyond this machine: the
// holder of a token, given as "Authorization: Bearer TOKEN" or through the
// login form, which leaves a cookie with the token's hash.

#include "base/Result.h"

#include <QByteArray>
#include <QString>

namespace Web {

class Access {
public:
    Access() = default;                       // open: the server listens on loopback only
    explicit Access(const QByteArray &token);

    bool open() const { return m_hash.isEmpty(); }
    // Either header may be empty. Compared in constant time.
    bool allows(const QByteArray &authorization, const QByteArray &cookies) const;
    bool isToken(const QByteArray &given) const;
    QByteArray cookie() const;                // the Set-Cookie value after a login

private:
    QByteArray m_hash;   // SHA-256 of the token
};

enum class TokenError { Unreadable, Empty };

// The token in FILE, without surrounding white space.
Result<QByteArray, TokenError> readToken(const QString &file);

} // namespace Web
