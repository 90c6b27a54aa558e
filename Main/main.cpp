#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    MainWindow window(nullptr);
    if (!window.open_and_init())
        return 0;
    window.show();
    return application.exec();
}
