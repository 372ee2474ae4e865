// quorvel-window-grab: a developer aid that runs one job in the window on a disc folder and saves
// a picture of the window afterwards (for the documentation). It converts the folder in place,
// so hand it a copy. Message boxes go to stderr instead of waiting for a click.
//
// Usage: quorvel-window-grab [--skip-m2ts] SOURCE OUT.png

#include <QApplication>
#include <QCheckBox>
#include <QFileInfo>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <cstdio>
#include <string>

#include "app/qt/AppIcon.h"
#include "app/qt/MainWindow.h"
#include "platform/ProgramLocation.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitJobFailed = 1;
constexpr int kExitUsage = 2;
// Space between the two views when the log is taller than its box.
constexpr int kViewGap = 12;

class UnattendedWindow final : public quorvel::MainWindow {
  public:
    quorvel::MessageBoxResult showMessageBox(const std::string& text, const std::string& title,
                                             quorvel::MessageBoxKind kind) override {
        std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
        return kind == quorvel::MessageBoxKind::Question ? quorvel::MessageBoxResult::No
                                                         : quorvel::MessageBoxResult::Ok;
    }
};

void settle() {
    for (int i = 0; i < 10; ++i) QCoreApplication::processEvents();
}

// The window as it is. When the log holds more lines than its box shows, a second view with the
// log scrolled to its first line goes to the left of it, so the picture shows every line.
QImage windowPicture(quorvel::MainWindow& window) {
    auto* log = window.findChild<QPlainTextEdit*>(QStringLiteral("v1StatusLog"));
    const QImage newest = window.grab().toImage();
    QScrollBar* bar = log->verticalScrollBar();
    if (bar->maximum() == 0) return newest;

    const int newestValue = bar->value();
    bar->setValue(0);
    settle();
    const QImage oldest = window.grab().toImage();
    bar->setValue(newestValue);
    settle();

    QImage both(oldest.width() + kViewGap + newest.width(), newest.height(), newest.format());
    both.fill(Qt::white);
    QPainter painter(&both);
    painter.drawImage(0, 0, oldest);
    painter.drawImage(oldest.width() + kViewGap, 0, newest);
    return both;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));
    QApplication::setWindowIcon(quorvel::appIcon());

    QStringList args = QCoreApplication::arguments().mid(1);
    const bool skipM2ts = args.removeAll(QStringLiteral("--skip-m2ts")) > 0;
    if (args.size() != 2) {
        std::fputs("Usage: quorvel-window-grab [--skip-m2ts] SOURCE OUT.png\n", stderr);
        return kExitUsage;
    }
    const std::string source =
        QFile::encodeName(QFileInfo(args[0]).absoluteFilePath()).toStdString();
    const QString out = args[1];

    UnattendedWindow window;
    if (!window.Form_Load(quorvel::platform::programFolder())) return kExitUsage;
    window.setFolderPicker([&](const std::string&, const std::string&) { return source; });
    window.Browse_Click();
    auto* command1 = window.findChild<QPushButton*>(QStringLiteral("Command1"));
    if (!command1->isEnabled()) {
        std::fprintf(stderr, "%s is not a disc folder\n", source.c_str());
        return kExitUsage;
    }
    window.findChild<QCheckBox*>(QStringLiteral("s1080"))->setChecked(skipM2ts);

    window.show();
    settle();
    command1->click();
    settle();

    if (window.core().lastOutcome() != quorvel::JobOutcome::Succeeded) {
        // A picture of a failed job is no use in the documentation; show why instead.
        QString log = QString::fromStdString(window.logText());
        log.remove(QLatin1Char('\r'));
        std::fprintf(stderr, "The job did not succeed; no picture written. Its log:\n%s",
                     qPrintable(log));
        return kExitJobFailed;
    }
    if (!windowPicture(window).save(out)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(out));
        return kExitJobFailed;
    }
    return kExitSuccess;
}
