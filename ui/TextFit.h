#pragma once
// Fonts that fit the fixed control sizes of the window: a control never
// grows, so where its text would be cut its font is made smaller instead.

#include <QRect>
#include <QStringList>

class QWidget;

// The rectangle the widget's style leaves for its text.
QRect TextRoom(const QWidget *widget);
bool TextFits(const QWidget *widget, const QString &text);
// Shrinks the widget's font, a pixel at a time, until every text fits.
void FitFont(QWidget *widget, const QStringList &texts);
