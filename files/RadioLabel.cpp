#include "files/RadioLabel.h"

#include <QList>
#include <algorithm>

bool IsRadioLabel(const QString &label)
{
    if (!label.isValidUtf16())
        return false;
    const QList<uint> points = label.toUcs4();
    return !points.isEmpty() && points.size() <= MaxRadioLabelLength
           && std::all_of(points.begin(), points.end(), [](uint c) {
                  const auto category = QChar::category(char32_t(c));
                  return QChar::isPrint(char32_t(c)) && category != QChar::Separator_Line
                         && category != QChar::Separator_Paragraph;
              });
}
