#include "CUpdaterApp.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    CUpdaterApp updater;
    if (!updater.InitInstance())
        return 1;
    return application.exec();
}
