#include "app/frmUpdate.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    frmUpdate window;
    window.setVerifyAll(app.arguments().contains(QStringLiteral("--verify")));
    window.formLoad();
    // A run that ended by closing the window (Cancel during the run, or the
    // failure path) leaves nothing for the event loop to do.
    if (window.isClosed())
        return 0;
    return app.exec();
}
