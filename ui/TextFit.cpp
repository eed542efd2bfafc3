#include "ui/TextFit.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>

namespace {

// Below this a text is no longer readable; better cut than unreadable.
constexpr int SmallestPixelSize = 8;

QRect comboRoom(const QComboBox *combo)
{
    QStyleOptionComboBox opt;
    opt.initFrom(combo);
    opt.editable = combo->isEditable();
    opt.frame = combo->hasFrame();
    const QRect field = combo->style()->subControlRect(QStyle::CC_ComboBox, &opt,
                                                       QStyle::SC_ComboBoxEditField, combo);
    return field.adjusted(1, 0, -1, 0);   // the style's own inset for the label
}

QRect buttonRoom(const QPushButton *button)
{
    QStyleOptionButton opt;
    opt.initFrom(button);
    opt.text = button->text();
    const QRect contents = button->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, button);
    const int margin = button->style()->pixelMetric(QStyle::PM_ButtonMargin, &opt, button) / 2;
    return contents.adjusted(margin, 0, -margin, 0);
}

QRect lineEditRoom(const QLineEdit *edit)
{
    const int frame = edit->hasFrame() ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, edit) : 0;
    const int horizontalMargin = 2;   // QLineEdit's own, around the text
    return edit->contentsRect().adjusted(frame + horizontalMargin, frame, -frame - horizontalMargin, -frame);
}

} // namespace

QRect TextRoom(const QWidget *widget)
{
    if (const auto *combo = qobject_cast<const QComboBox *>(widget))
        return comboRoom(combo);
    if (const auto *button = qobject_cast<const QPushButton *>(widget))
        return buttonRoom(button);
    if (const auto *edit = qobject_cast<const QLineEdit *>(widget))
        return lineEditRoom(edit);
    if (const auto *label = qobject_cast<const QLabel *>(widget)) {
        const int m = label->margin();
        return label->contentsRect().adjusted(m, m, -m, -m);
    }
    return widget->contentsRect();
}

bool TextFits(const QWidget *widget, const QString &text)
{
    const QRect room = TextRoom(widget);
    const QFontMetrics fm = widget->fontMetrics();
    return fm.horizontalAdvance(text) <= room.width() && fm.height() <= room.height();
}

void FitFont(QWidget *widget, const QStringList &texts)
{
    const auto allFit = [&] {
        return std::all_of(texts.begin(), texts.end(), [&](const QString &t) { return TextFits(widget, t); });
    };
    QFont font = widget->font();
    int size = QFontInfo(font).pixelSize();
    while (!allFit() && size > SmallestPixelSize) {
        font.setPixelSize(--size);
        widget->setFont(font);
    }
}
