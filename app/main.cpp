#include "app/frmUpdate.h"

#include <QApplication>
#include <cstdio>
#include <cstring>

namespace
{

// One plain string, so that the line printed lies in the program file as it
// is: a publisher (and a test) can tell two builds apart by it.
const char VersionLine[] = "updater version " UPDATER_VERSION "\n";

} // namespace

int main(int argc, char *argv[])
{
    // Answered before any window or display is set up: installers and
    // scripts ask it on machines that have neither.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return std::fputs(VersionLine, stdout) >= 0 && std::fflush(stdout) == 0 ? 0 : 1;
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
