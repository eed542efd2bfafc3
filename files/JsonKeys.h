#pragma once
// Reading JSON that a user may have edited. QJsonDocument keeps only one of
// two equal keys in an object, so a file that says a thing twice would be
// read silently; a scan of the raw text finds them.

#include "base/Result.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <optional>

namespace History::JsonKeys {

enum class Refusal { NotJson, NotObject };
// The object the text holds; NotJson says "not JSON (WHY at offset N)".
Result<QJsonObject, Refusal> objectIn(const QByteArray &json);

struct Duplicate {
    QString key;      // as decoded, escapes resolved
    QString parent;   // key of the object holding it; empty at the top level
};

// The first key, in text order, that repeats a key of the same object, at any
// depth. The text must already have been accepted by QJsonDocument.
std::optional<Duplicate> firstDuplicate(const QByteArray &json);

} // namespace History::JsonKeys
