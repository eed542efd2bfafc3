#include "ui/TestForm.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Calitune"));
    TestForm window;
    window.show();
    return app.exec();
}
