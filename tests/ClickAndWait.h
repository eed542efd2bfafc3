#pragma once
// Clicks one of the window's action buttons and lets the event loop run until
// the exchange, which runs on its own thread, has ended: as a user waits.

#include "ui/TestForm.h"

#include <QDeadlineTimer>
#include <QPushButton>
#include <QTest>

inline bool clickAndWait(TestForm &form, QPushButton *button, int timeoutMs = 30000)
{
    button->click();
    const QDeadlineTimer deadline(timeoutMs);
    while (form.exchangeRunning() && !deadline.hasExpired())
        QTest::qWait(2);
    return !form.exchangeRunning();
}
