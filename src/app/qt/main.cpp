// quorvel: the conversion in its window.

#include <QApplication>

#include "app/qt/AppIcon.h"
#include "app/qt/MainWindow.h"
#include "platform/ProgramLocation.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // The controls sit at fixed pixel places; one style everywhere keeps them fitting.
    QApplication::setStyle(QStringLiteral("Fusion"));
    QApplication::setApplicationName(QStringLiteral("quorvel"));
    QApplication::setApplicationVersion(QStringLiteral(QUORVEL_VERSION));
    QApplication::setWindowIcon(quorvel::appIcon());
    QGuiApplication::setDesktopFileName(QStringLiteral("quorvel"));

    quorvel::MainWindow window;
    // Without the analyser the user has been told; the window is never shown.
    if (!window.Form_Load(quorvel::platform::programFolder())) return 1;

    window.show();
    return QApplication::exec();
}
