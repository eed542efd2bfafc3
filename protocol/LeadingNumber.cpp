#include "protocol/CalibrationBlock.h"

double LeadingNumber(const QString &text)
{
    qsizetype end = 0;
    const auto skipDigits = [&] {
        const qsizetype start = end;
        while (end < text.size() && text[end] >= u'0' && text[end] <= u'9')
            ++end;
        return end - start;
    };
    if (end < text.size() && (text[end] == u'+' || text[end] == u'-'))
        ++end;
    qsizetype digits = skipDigits();
    if (end < text.size() && text[end] == u'.') {
        ++end;
        digits += skipDigits();
    }
    if (digits == 0)
        return 0;
    if (text[end - 1] == u'.')
        --end;
    return QStringView(text).left(end).toDouble();
}
