// What a user may type after "write", or put in a --file: whatever is
// accepted names only known values, each once, each 0 to 127, and the same
// values read the same either way.

#include "tests/fuzz/FuzzCheck.h"

#include "cli/ValueArgs.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

void checkValues(const ValueArgs::Values &values)
{
    int given = 0;
    for (const auto &v : values) {
        if (!v)
            continue;
        ++given;
        FUZZ_CHECK(*v <= ValueArgs::MaxValue);
    }
    FUZZ_CHECK(given > 0);
}

// The accepted values written both ways must be accepted as the same.
void checkRoundTrip(const ValueArgs::Values &values)
{
    QStringList args;
    QJsonObject object;
    for (int i = 0; i < PowerValueCount; ++i)
        if (values[std::size_t(i)]) {
            args << QStringLiteral("%1=%2").arg(QLatin1String(ValueNames[std::size_t(i)])).arg(*values[std::size_t(i)]);
            object.insert(QLatin1String(ValueNames[std::size_t(i)]), int(*values[std::size_t(i)]));
        }
    const auto fromArgs = ValueArgs::parseAssignments(args);
    FUZZ_CHECK(fromArgs && *fromArgs == values);
    const auto fromFile = ValueArgs::parseValueFile(QJsonDocument(object).toJson());
    FUZZ_CHECK(fromFile && *fromFile == values);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));

    // As a file.
    if (const auto values = ValueArgs::parseValueFile(input)) {
        checkValues(*values);
        checkRoundTrip(*values);
    } else {
        FUZZ_CHECK(!values.text().isEmpty() && !values.text().contains(QLatin1Char('\n')));
    }

    // As arguments, one per line.
    const QStringList args = QString::fromUtf8(input).split(QLatin1Char('\n'));
    if (const auto values = ValueArgs::parseAssignments(args)) {
        checkValues(*values);
        checkRoundTrip(*values);
        int assigned = 0;
        for (const auto &v : *values)
            assigned += v ? 1 : 0;
        FUZZ_CHECK(assigned == args.size());   // each argument one distinct value
    } else {
        FUZZ_CHECK(!values.text().isEmpty());
    }
    return 0;
}
