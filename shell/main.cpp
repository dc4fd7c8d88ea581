#include "CUpdaterApp.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    CUpdaterApp updater;
    if (!updater.InitInstance(true, application.arguments().mid(1)))
        return 1;
    return application.exec();
}
