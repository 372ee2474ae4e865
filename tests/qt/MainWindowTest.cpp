// The window under the offscreen platform: layout, source selection, the job's button, the close
// check, the progress display and the start-up check. Jobs run on fake steps.

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFontInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "shared/QuorvelError.h"
#include "app/qt/MainWindow.h"
#include "navigation/NavigationTestSupport.h"
#include "support/DiscBuilder.h"
#include "support/JobListing.h"
#include "support/TestSupport.h"

using quorvel::ProgressSink;
using quorvel::StopToken;
using quorvel::MainWindow;
namespace t = quorvel::test;

namespace {

constexpr const char* kIdle = "Convert It To UHD-BD";
constexpr const char* kAbort = "Abort";
// Upper bound on the turns of a fake stream loop, so a broken abort fails instead of hanging.
constexpr int kMaxTurns = 200000;

// A disc folder in the muxer's layout; without index and MovieObject the source check refuses it.
void makeDisc(const std::string& root, bool withBdmvFiles = true) {
    t::makeDisc(root);
    if (!withBdmvFiles) {
        std::remove((root + "BDMV/index.bdmv").c_str());
        std::remove((root + "BDMV/MovieObject.bdmv").c_str());
    }
}

// The real steps, with a scan that reports a 3840x2160 HDR10 video without the analyser; the
// stream step is the test's: true for a whole pass, false for one that stopped.
class FakeSteps final : public quorvel::RealJobSteps {
  public:
    using Stream = std::function<bool(StopToken&, ProgressSink&)>;
    Stream stream = [](StopToken&, ProgressSink&) { return true; };
    std::function<void()> scanHook;
    int scans = 0;

    quorvel::ScanResult scanStream(const std::string&, const std::string&, StopToken&) override {
        ++scans;
        if (scanHook) scanHook();
        return {quorvel::ScanOutcome::Collected,
                {true, true, true, 3840, 2160, t::nav::uhdExtension(true), {}},
                {{" - UHD and HDR attributes collected.", false}, {" - Scan completed.", false}}};
    }
    quorvel::StreamPass UHD_Adjust_M2TS(const std::string&, const quorvel::M2tsScanOptions&,
                                        StopToken& stop, ProgressSink& progress) override {
        const bool done = stream(stop, progress);
        return {done ? quorvel::StreamPass::Outcome::Done : quorvel::StreamPass::Outcome::Aborted,
                {}};
    }
};

// The lines of a job up to its stream step.
std::vector<std::string> linesBeforeTheStream() {
    using t::operator+;
    return std::vector<std::string>{"========Job Started========"} + t::scanLines(true) +
           t::firstJobNavigationLines() +
           std::vector<std::string>{"[ts] Checking/Adjusting M2TS file..."};
}

// What a message box showed, and the answer given to it.
struct SeenBox {
    bool shown = false;
    QString text;
    QString title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
};

// Answers the next modal message box with `answer`, from a timer that runs inside the box's own
// event loop. Checks every few milliseconds until a box is up; the timer is returned so a test
// that expects no box can remove it.
QTimer* answerNextBox(QMessageBox::StandardButton answer, std::shared_ptr<SeenBox> seen) {
    auto* poll = new QTimer;
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, [poll, answer, seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) return;
        poll->stop();
        poll->deleteLater();
        seen->shown = true;
        seen->text = box->text();
        seen->title = box->windowTitle();
        seen->icon = box->icon();
        seen->buttons = box->standardButtons();
        if (QAbstractButton* button = box->button(answer)) {
            button->click();
        } else {
            box->reject();
        }
    });
    poll->start();
    return poll;
}

QStringList boxLines(const QPlainTextEdit* log) {
    return log->toPlainText().split(QLatin1Char('\n'));
}

std::vector<std::string> maskedLines(const std::string& statusText) {
    return t::maskTimes(t::splitLines(statusText));
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

    // A window on fake steps whose program end is recorded instead of carried out.
    struct Harness {
        FakeSteps* steps;
        std::unique_ptr<MainWindow> window;
        std::optional<int> endedWith;
        std::optional<std::string> nextPick;

        Harness() {
            auto owned = std::make_unique<FakeSteps>();
            steps = owned.get();
            window = std::make_unique<MainWindow>(std::move(owned));
            window->setProgramEnder([this](int code) { endedWith = code; });
            window->setFolderPicker([this](const std::string&, const std::string&) {
                auto pick = nextPick;
                nextPick.reset();
                return pick;
            });
        }
        template <typename W>
        W* child(const char* name) const {
            return window->findChild<W*>(QString::fromLatin1(name));
        }
        QPushButton* command1() const { return child<QPushButton>("Command1"); }
        QString source() const { return child<QLabel>("src")->text(); }
        void browse(std::optional<std::string> pick) {
            nextPick = std::move(pick);
            window->Browse_Click();
        }
        void showWindow() const {
            window->show();
            QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        }
    };

  private slots:
    void initTestCase() {
        QApplication::setStyle(QStringLiteral("Fusion"));
        QApplication::setQuitOnLastWindowClosed(false);
    }

    void initialStateMatchesTheLayout() {
        Harness h;
        MainWindow& w = *h.window;
        QCOMPARE(w.windowTitle(), QStringLiteral("Quorvel v1.12"));
        QCOMPARE(w.minimumSize(), QSize(450, 372));
        QCOMPARE(w.maximumSize(), QSize(450, 372));
        QCOMPARE(w.palette().color(QPalette::Window), QColor(0xE0, 0xE0, 0xE0));

        struct Expected {
            const char* name;
            QString caption;
            QRect place;
        };
        const std::vector<Expected> labels = {
            {"Label4", "Source Path:", QRect(20, 8, 69, 17)},
            {"src", "", QRect(20, 24, 345, 17)},
            {"Label1", "Status:", QRect(20, 44, 69, 17)},
            {"Label3", "Current Progress:", QRect(0, 12, 93, 17)},
            {"PerCent", "0.00%", QRect(352, 12, 45, 13)},
        };
        for (const Expected& e : labels) {
            auto* label = h.child<QLabel>(e.name);
            QVERIFY2(label != nullptr, e.name);
            QCOMPARE(label->text(), e.caption);
            QCOMPARE(label->geometry(), e.place);
            QCOMPARE(label->focusPolicy(), Qt::NoFocus);
        }
        QVERIFY(h.child<QLabel>("PerCent")->alignment() & Qt::AlignRight);
        QVERIFY(h.child<QLabel>("Label3")->alignment() & Qt::AlignRight);
        QCOMPARE(h.child<QLabel>("src")->palette().color(QPalette::Window), QColor(Qt::white));

        auto* browse = h.child<QPushButton>("Browse");
        QCOMPARE(browse->text(), QStringLiteral("Browse"));
        QCOMPARE(browse->geometry(), QRect(372, 24, 57, 20));
        QCOMPARE(h.command1()->text(), QString::fromLatin1(kIdle));
        QCOMPARE(h.command1()->geometry(), QRect(160, 320, 125, 33));
        QVERIFY(!h.command1()->isEnabled());
        auto* skip = h.child<QCheckBox>("s1080");
        QCOMPARE(skip->text(), QStringLiteral("Skip M2TS"));
        QCOMPARE(skip->geometry(), QRect(356, 348, 97, 13));
        QVERIFY(!skip->isChecked());

        QCOMPARE(h.child<QWidget>("Frame2")->geometry(), QRect(20, 60, 409, 209));
        QCOMPARE(h.child<QWidget>("Frame1")->geometry(), QRect(20, 268, 409, 37));
        QCOMPARE(h.child<QWidget>("Picture1")->geometry(), QRect(100, 15, 247, 11));
        auto* log = h.child<QPlainTextEdit>("v1StatusLog");
        QCOMPARE(log->parentWidget()->objectName(), QStringLiteral("Frame2"));
        QCOMPARE(log->geometry(), QRect(8, 8, 397, 197));
        QVERIFY(log->isReadOnly());
        QVERIFY(log->toPlainText().isEmpty());
        QVERIFY(QFontInfo(log->font()).fixedPitch());
        QCOMPARE(log->font().pointSizeF(), 9.0);
        QCOMPARE(h.child<QLabel>("Label3")->font().pointSizeF(), 8.25);

        // The bar starts full: the whole picture, unscaled.
        auto* progress = h.child<QLabel>("Progress");
        QCOMPARE(progress->size(), QSize(245, 6));
        QCOMPARE(w.barWidthTwips(), 3675.0f);
        QCOMPARE(progress->pixmap().size(), QSize(245, 6));
        QVERIFY(!progress->hasScaledContents());

        // Focus moves through the controls that take it, in their tab order.
        std::vector<QString> order;
        QWidget* next = h.command1();
        do {
            if (next->focusPolicy() & Qt::TabFocus) order.push_back(next->objectName());
            next = next->nextInFocusChain();
        } while (next != h.command1() && order.size() < 10);
        QCOMPARE(order, (std::vector<QString>{"Command1", "Browse", "v1StatusLog", "s1080"}));

        QCOMPARE(w.tickInterval(), 500);
    }

    void barPictureHasItsRowsAndWhiteFirstColumn() {
        const QImage picture = MainWindow::barPicture();
        QCOMPARE(picture.size(), QSize(245, 6));
        const QRgb rows[] = {0x17267B, 0x7C9CBF, 0x5D87BE, 0x1A6EE2, 0x1A6EE2, 0x17267B};
        for (int y = 0; y < 6; ++y) {
            QCOMPARE(picture.pixel(0, y) & 0xFFFFFF, 0xFFFFFFu);
            for (int x : {1, 122, 244}) QCOMPARE(picture.pixel(x, y) & 0xFFFFFF, rows[y]);
        }
    }

    void timerTicksSetTheFlag() {
        Harness h;
        h.window->core().takeTimerTick();
        h.window->setTickInterval(20);
        QCOMPARE(h.window->tickInterval(), 20);
        QTRY_VERIFY_WITH_TIMEOUT(h.window->core().timerTick(), 2000);
    }

    void browsePicksTheDiscFromItsSubfolders() {
        t::TempDir dir;
        const std::string disc = dir / "My Disc/";
        makeDisc(disc);
        const std::string withoutSlash = disc.substr(0, disc.size() - 1);
        for (const std::string& pick :
             {withoutSlash, disc, disc + "BDMV", disc + "BDMV/", disc + "BDMV/STREAM",
              disc + "BDMV/STREAM/", disc + "bdmv/stream"}) {
            Harness h;
            h.browse(pick);
            // The case of the path is kept: names on Linux are case-sensitive.
            QCOMPARE(h.source(), QString::fromStdString(disc));
            QCOMPARE(h.window->sourcePath(), disc);
            QVERIFY(h.command1()->isEnabled());
        }
    }

    void returnEnterAndSpacePressTheFocusedButton() {
        t::TempDir dir;
        makeDisc(dir / "disc/");
        struct Case {
            const char* button;
            Qt::Key key;
            Qt::KeyboardModifiers modifiers;
        };
        const std::vector<Case> cases = {
            {"Browse", Qt::Key_Return, Qt::NoModifier},
            {"Browse", Qt::Key_Enter, Qt::KeypadModifier},
            {"Browse", Qt::Key_Space, Qt::NoModifier},
            {"Command1", Qt::Key_Return, Qt::NoModifier},
            {"Command1", Qt::Key_Enter, Qt::KeypadModifier},
            {"Command1", Qt::Key_Space, Qt::NoModifier},
        };
        for (const Case& c : cases) {
            Harness h;
            h.browse(dir / "disc/");
            h.showWindow();
            auto* button = h.child<QPushButton>(c.button);
            button->setFocus();
            QVERIFY(button->hasFocus());
            QSignalSpy pressed(button, &QPushButton::clicked);
            QTest::keyClick(button, c.key, c.modifiers);
            QVERIFY2(pressed.count() == 1, c.button);
        }
    }

    void browseRefusesAFolderWithoutBdmvFiles() {
        t::TempDir dir;
        makeDisc(dir / "good/");
        makeDisc(dir / "nobdmv/", false);
        Harness h;
        h.browse(dir / "good/");
        QVERIFY(h.command1()->isEnabled());

        auto seen = std::make_shared<SeenBox>();
        answerNextBox(QMessageBox::Ok, seen);
        h.browse(dir / "nobdmv");
        QVERIFY(seen->shown);
        QCOMPARE(seen->text, QStringLiteral("Selected source is not BD format."));
        QCOMPARE(seen->title, QStringLiteral("Illegal Source"));
        QCOMPARE(seen->icon, QMessageBox::Critical);
        QCOMPARE(seen->buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(h.source(), QString::fromStdString(dir / "good/"));
        QVERIFY(h.command1()->isEnabled());
    }

    void browseCancelled() {
        t::TempDir dir;
        const std::string disc = dir / "disc/";
        makeDisc(disc);

        Harness none;
        none.browse(std::nullopt);
        QVERIFY(none.source().isEmpty());
        QVERIFY(!none.command1()->isEnabled());

        Harness some;
        some.browse(disc);
        some.browse(std::nullopt);
        QCOMPARE(some.source(), QString::fromStdString(disc));
        QVERIFY(some.command1()->isEnabled());

        // A source that no longer holds a disc is checked again on cancel, and kept.
        t::makeDirs(dir / "gone/");
        makeDisc(dir / "gone/");
        Harness gone;
        gone.browse(dir / "gone/");
        std::filesystem::remove_all(dir / "gone/BDMV");
        auto seen = std::make_shared<SeenBox>();
        answerNextBox(QMessageBox::Ok, seen);
        gone.browse(std::nullopt);
        QVERIFY(seen->shown);
        QCOMPARE(seen->title, QStringLiteral("Illegal Source"));
        QCOMPARE(gone.source(), QString::fromStdString(dir / "gone/"));

        // No source is no source, even when the working folder happens to be a disc.
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(QString::fromStdString(disc)));
        Harness inDisc;
        inDisc.browse(std::nullopt);
        QDir::setCurrent(previous);
        QVERIFY(inDisc.source().isEmpty());
        QVERIFY(!inDisc.command1()->isEnabled());
    }

    void abortPressedInsideTheYield() {
        t::TempDir dir;
        makeDisc(dir / "disc/");
        Harness h;
        h.browse(dir / "disc/");
        h.showWindow();

        QPushButton* button = h.command1();
        QStringList captions;
        int scansWhenPressedAgain = -1;
        h.steps->stream = [&](StopToken& stop, ProgressSink&) {
            captions << button->text();
            QTimer::singleShot(0, button, &QPushButton::click);
            for (int turn = 0; turn < kMaxTurns && !stop.stopRequested(); ++turn) {
            }
            captions << button->text();
            // The idle caption is back but this job has not ended: a press must not nest a job.
            const int scans = h.steps->scans;
            button->click();
            scansWhenPressedAgain = h.steps->scans - scans;
            return false;
        };
        button->click();

        QCOMPARE(captions, QStringList({kAbort, kIdle}));
        QCOMPARE(scansWhenPressedAgain, 0);
        QCOMPARE(button->text(), QString::fromLatin1(kIdle));
        QVERIFY(h.window->core().abortRequested());
        using t::operator+;
        const std::vector<std::string> expected =
            linesBeforeTheStream() +
            std::vector<std::string>{"[ts] Job aborted by user.",
                                     " - Warning:  M2TS update not completed",
                                     " - Warning:  M2TS format is not compliant",
                                     " - Warning:  Restart job to complete.",
                                     "=========Job Ended========="};
        QCOMPARE(maskedLines(h.window->logText()), expected);
        QCOMPARE(boxLines(h.child<QPlainTextEdit>("v1StatusLog")).size(), 24);
        QVERIFY(!h.endedWith.has_value());
    }

    void closeDuringAJobAsksAndStaysOpen() {
        t::TempDir dir;
        makeDisc(dir / "disc/");
        Harness h;
        h.browse(dir / "disc/");
        h.showWindow();

        auto answeredNo = std::make_shared<SeenBox>();
        auto answeredYes = std::make_shared<SeenBox>();
        bool abortAfterNo = true;
        bool openAfterNo = false;
        h.steps->stream = [&](StopToken& stop, ProgressSink&) {
            answerNextBox(QMessageBox::No, answeredNo);
            h.window->close();
            abortAfterNo = h.window->core().abortRequested();
            openAfterNo = h.window->isVisible();

            answerNextBox(QMessageBox::Yes, answeredYes);
            QTimer::singleShot(0, h.window.get(), &QWidget::close);
            for (int turn = 0; turn < kMaxTurns && !stop.stopRequested(); ++turn) {
            }
            return false;
        };
        h.command1()->click();

        QVERIFY(answeredNo->shown);
        QCOMPARE(answeredNo->text, QStringLiteral("Process executing.  Do you wish to abort?"));
        QCOMPARE(answeredNo->title, QStringLiteral("Confirm Abort"));
        QCOMPARE(answeredNo->icon, QMessageBox::Warning);
        QCOMPARE(answeredNo->buttons, QMessageBox::Yes | QMessageBox::No);
        QVERIFY(!abortAfterNo);
        QVERIFY(openAfterNo);

        QVERIFY(answeredYes->shown);
        QVERIFY(h.window->core().abortRequested());
        QVERIFY(h.window->isVisible());
        const auto lines = maskedLines(h.window->logText());
        QCOMPARE(lines.at(linesBeforeTheStream().size()), std::string("[ts] Job aborted by user."));
        QCOMPARE(lines.back(), std::string("=========Job Ended========="));
        QVERIFY(!h.endedWith.has_value());
    }

    void closeWhileIdleAsksNothing() {
        Harness h;
        h.showWindow();
        auto seen = std::make_shared<SeenBox>();
        std::unique_ptr<QTimer> poll(answerNextBox(QMessageBox::No, seen));
        QVERIFY(h.window->close());
        QVERIFY(!h.window->isVisible());
        QTest::qWait(30);
        QVERIFY(!seen->shown);
    }

    void progressDuringAndAfterAStreamPass() {
        t::TempDir dir;
        makeDisc(dir / "disc/");
        Harness h;
        h.browse(dir / "disc/");
        h.showWindow();
        auto* progress = h.child<QLabel>("Progress");
        auto* perCent = h.child<QLabel>("PerCent");

        QSize halfway;
        QString halfwayText;
        QImage halfwayPicture;
        QSize empty;
        h.steps->stream = [&](StopToken& stop, ProgressSink& sink) {
            sink.showProgress(0.0, "0.00%");
            stop.stopRequested();
            empty = progress->size();

            sink.showProgress(0.5, "50.00%");
            stop.stopRequested();
            halfway = progress->size();
            halfwayText = perCent->text();
            halfwayPicture = progress->grab().toImage();

            sink.showProgress(1.0, "100.00%");
            return true;
        };
        h.command1()->click();

        QCOMPARE(empty, QSize(0, 6));
        QCOMPARE(halfway, QSize(123, 6));
        QCOMPARE(halfwayText, QStringLiteral("50.00%"));
        // Narrowed, not scaled: the left part of the picture at its own size.
        QCOMPARE(halfwayPicture.size(), QSize(123, 6));
        QCOMPARE(halfwayPicture.pixel(0, 2) & 0xFFFFFF, 0xFFFFFFu);
        QCOMPARE(halfwayPicture.pixel(1, 0) & 0xFFFFFF, 0x17267Bu);
        QCOMPARE(halfwayPicture.pixel(122, 1) & 0xFFFFFF, 0x7C9CBFu);

        // After the pass, and after the job, the display keeps the end values.
        QCOMPARE(progress->size(), QSize(245, 6));
        QCOMPARE(h.window->barWidthTwips(), 3675.0f);
        QCOMPARE(perCent->text(), QStringLiteral("100.00%"));
        QCOMPARE(maskedLines(h.window->logText()).at(linesBeforeTheStream().size()),
                 std::string("[ts] QUORVEL - SUCCESS"));
    }

    void logKeepsTheNewestLineInView() {
        Harness h;
        h.showWindow();
        auto* log = h.child<QPlainTextEdit>("v1StatusLog");
        for (int i = 1; i <= 60; ++i) h.window->core().Status("line " + std::to_string(i));
        const QStringList lines = boxLines(log);
        QCOMPARE(lines.size(), 60);
        QCOMPARE(lines.front(), QStringLiteral("line 1"));
        QCOMPARE(lines.back(), QStringLiteral("line 60"));
        QVERIFY(log->verticalScrollBar()->maximum() > 0);
        QCOMPARE(log->verticalScrollBar()->value(), log->verticalScrollBar()->maximum());
        QCOMPARE(log->textCursor().position(), log->document()->characterCount() - 1);
        QVERIFY(!log->textCursor().hasSelection());

        // A character outside the basic plane counts once in the log and twice in the box.
        h.window->core().Status("disc \xF0\x9F\x92\xBF");
        QCOMPARE(boxLines(log).back(), QString::fromUtf8("disc \xF0\x9F\x92\xBF"));
        QCOMPARE(log->textCursor().position(), log->document()->characterCount() - 1);
    }

    void missingAnalyserEndsTheStart() {
        t::TempDir emptyFolder;
        const QByteArray savedPath = qgetenv("PATH");
        qputenv("PATH", QByteArray::fromStdString(emptyFolder.path()));
        Harness h;
        auto seen = std::make_shared<SeenBox>();
        answerNextBox(QMessageBox::Ok, seen);
        const bool started = h.window->Form_Load(emptyFolder.path());
        qputenv("PATH", savedPath);

        QVERIFY(!started);
        QVERIFY(seen->shown);
        QCOMPARE(seen->text, QStringLiteral("Error:  MEDIAINFO.EXE was not found in the path."));
        QCOMPARE(seen->title, QStringLiteral("Cannot Run QUORVEL"));
        QCOMPARE(seen->icon, QMessageBox::NoIcon);
        QCOMPARE(seen->buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(h.endedWith, std::optional<int>(0));
        QVERIFY(!h.window->isVisible());
    }

    void anErrorInAStepIsAFailedJobShownInTheLog() {
        t::TempDir dir;
        makeDisc(dir / "disc/");
        Harness h;
        h.browse(dir / "disc/");
        h.steps->stream = [](StopToken&, ProgressSink&) -> bool {
            throw quorvel::QuorvelError("Disk read error reading the stream file.");
        };
        auto seen = std::make_shared<SeenBox>();
        std::unique_ptr<QTimer> poll(answerNextBox(QMessageBox::Ok, seen));
        h.command1()->click();
        QTest::qWait(30);

        QVERIFY(!seen->shown);
        QVERIFY(!h.endedWith.has_value());
        const QStringList lines = boxLines(h.child<QPlainTextEdit>("v1StatusLog"));
        QCOMPARE(lines.at(lines.size() - 2).mid(10),
                 QStringLiteral(" Failed. Disk read error reading the stream file."));
        QCOMPARE(lines.back(), QStringLiteral("=========Job Ended========="));
        QCOMPARE(h.command1()->text(), QString::fromLatin1(kIdle));
        QVERIFY(!h.window->core().jobActive());
    }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
