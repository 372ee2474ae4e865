#include "app/qt/MainWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QFrame>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QTextCursor>
#include <algorithm>
#include <array>
#include <cmath>
#include <exception>

#include "fileio/FileSystem.h"

namespace quorvel {

namespace {

constexpr const char* kWindowCaption = "Quorvel v1.12";
constexpr const char* kBrowsePrompt = "Select TSMUXER output folder:";
constexpr const char* kFatalErrorTitle = "Quorvel";

constexpr QRgb kFormGrey = 0xE0E0E0;
constexpr QRgb kWindowBackground = 0xFFFFFF;
constexpr QRgb kBarFirstColumn = 0xFFFFFF;
// The bar picture's rows, top to bottom: a dark edge, two lighter shades, the body, a dark edge.
constexpr std::array<QRgb, MainWindow::kBarHeight> kBarRows = {0x17267B, 0x7C9CBF, 0x5D87BE,
                                                               0x1A6EE2, 0x1A6EE2, 0x17267B};

constexpr double kLabelPointSize = 8.25;
constexpr double kLogPointSize = 9.0;

// A control's place in its container, in twips (1/1440 inch; 15 to a pixel on the screens the
// layout was drawn for).
struct TwipsRect {
    int left;
    int top;
    int width;
    int height;
};

constexpr TwipsRect kLabel4Place{300, 120, 1035, 255};
constexpr TwipsRect kSrcPlace{300, 360, 5175, 255};
constexpr TwipsRect kBrowsePlace{5580, 360, 855, 300};
constexpr TwipsRect kLabel1Place{300, 660, 1035, 255};
constexpr TwipsRect kFrame2Place{300, 900, 6135, 3135};
constexpr TwipsRect kStatusLogPlace{120, 120, 5955, 2955};
constexpr TwipsRect kFrame1Place{300, 4020, 6135, 555};
constexpr TwipsRect kLabel3Place{0, 180, 1395, 255};
constexpr TwipsRect kPicture1Place{1500, 225, 3700, 170};
constexpr TwipsRect kProgressPlace{0, 30, 3675, 90};
constexpr TwipsRect kPerCentPlace{5280, 180, 675, 195};
constexpr TwipsRect kCommand1Place{2400, 4800, 1875, 495};
constexpr TwipsRect kS1080Place{5340, 5220, 1455, 195};

int toPixels(int twips) {
    return static_cast<int>(std::lround(static_cast<double>(twips) / MainWindow::kTwipsPerPixel));
}

QRect toPixels(const TwipsRect& place) {
    return QRect(toPixels(place.left), toPixels(place.top), toPixels(place.width),
                 toPixels(place.height));
}

// Arial is not on Linux; Liberation Sans has its metrics, so captions fit as they were drawn.
QFont labelFont() {
    QFont font;
    font.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(kLabelPointSize);
    return font;
}

// Lucida Console is not on Linux either; the monospace hint picks the system's monospace face
// (DejaVu Sans Mono on Debian).
QFont logFont() {
    QFont font;
    font.setFamilies({QStringLiteral("Lucida Console"), QStringLiteral("DejaVu Sans Mono")});
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    font.setPointSizeF(kLogPointSize);
    font.setWeight(QFont::Normal);
    return font;
}

void paintBackground(QWidget* widget, QRgb colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, QColor::fromRgb(colour));
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

QLabel* makeLabel(QWidget* parent, const char* name, const QString& caption, const TwipsRect& place,
                  QRgb background) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(toPixels(place));
    label->setFont(labelFont());
    paintBackground(label, background);
    return label;
}

QString fromPath(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

// Position in the log box of the character at `index` of `source`, where a CR LF pair is one
// line break in the box and a character outside the basic plane takes two code units.
int boxPosition(const QString& source, long long index) {
    int position = 0;
    long long characters = 0;
    for (qsizetype i = 0; i < source.size(); ++i) {
        const QChar c = source.at(i);
        if (c.isLowSurrogate()) {
            ++position;
            continue;
        }
        if (characters == index) break;
        ++characters;
        const bool crBeforeLf = c == QLatin1Char('\r') && i + 1 < source.size() &&
                                source.at(i + 1) == QLatin1Char('\n');
        if (!crBeforeLf) ++position;
    }
    return position;
}

// The check box is 13 pixels high; its tick box must fit in that without being cut.
class CheckBoxStyle final : public QProxyStyle {
  public:
    static constexpr int kIndicatorSize = 13;

    int pixelMetric(PixelMetric metric, const QStyleOption* option,
                    const QWidget* widget) const override {
        if (metric == PM_IndicatorWidth || metric == PM_IndicatorHeight) return kIndicatorSize;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};

}  // namespace

MainWindow::MainWindow(std::unique_ptr<JobSteps> steps, QWidget* parent)
    : QWidget(parent), m_core(*this, std::move(steps)) {
    setWindowTitle(QString::fromLatin1(kWindowCaption));
    setFixedSize(kClientWidth, kClientHeight);
    paintBackground(this, kFormGrey);
    buildControls();

    m_picker = [this](const std::string& current, const std::string& title) {
        return pickWithDialog(current, title);
    };
    m_ender = [](int exitCode) { QCoreApplication::exit(exitCode); };

    m_timer.setInterval(kTickMilliseconds);
    connect(&m_timer, &QTimer::timeout, this, [this] { m_core.Timer1_Timer(); });
    m_timer.start();
}

MainWindow::~MainWindow() = default;

void MainWindow::buildControls() {
    const QString empty;

    m_label4 = makeLabel(this, "Label4", QStringLiteral("Source Path:"), kLabel4Place, kFormGrey);
    m_src = makeLabel(this, "src", empty, kSrcPlace, kWindowBackground);

    m_browse = new QPushButton(QStringLiteral("Browse"), this);
    m_browse->setObjectName(QStringLiteral("Browse"));
    m_browse->setGeometry(toPixels(kBrowsePlace));
    m_browse->setFont(labelFont());
    // Return and keypad Enter press the focused button as Space does; outside a dialog Qt's
    // buttons take them only when they are auto-default.
    m_browse->setAutoDefault(true);
    connect(m_browse, &QPushButton::clicked, this, [this] { Browse_Click(); });

    m_label1 = makeLabel(this, "Label1", QStringLiteral("Status:"), kLabel1Place, kFormGrey);

    m_frame2 = new QFrame(this);
    m_frame2->setObjectName(QStringLiteral("Frame2"));
    m_frame2->setGeometry(toPixels(kFrame2Place));
    m_frame2->setFrameStyle(QFrame::Box | QFrame::Sunken);
    paintBackground(m_frame2, kWindowBackground);

    m_statusLog = new QPlainTextEdit(m_frame2);
    m_statusLog->setObjectName(QStringLiteral("v1StatusLog"));
    m_statusLog->setGeometry(toPixels(kStatusLogPlace));
    m_statusLog->setFont(logFont());
    m_statusLog->setReadOnly(true);
    // Read-only boxes normally hide the caret; it marks the newest line here.
    m_statusLog->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_statusLog->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m_statusLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_statusLog->setUndoRedoEnabled(false);

    m_frame1 = new QFrame(this);
    m_frame1->setObjectName(QStringLiteral("Frame1"));
    m_frame1->setGeometry(toPixels(kFrame1Place));
    m_frame1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    paintBackground(m_frame1, kFormGrey);

    m_label3 =
        makeLabel(m_frame1, "Label3", QStringLiteral("Current Progress:"), kLabel3Place, kFormGrey);
    m_label3->setAlignment(Qt::AlignRight | Qt::AlignTop);

    // The well of the bar: a one-pixel sunken edge around exactly the bar's full width.
    m_picture1 = new QFrame(m_frame1);
    m_picture1->setObjectName(QStringLiteral("Picture1"));
    m_picture1->setGeometry(toPixels(kPicture1Place));
    m_picture1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_picture1->setLineWidth(1);
    paintBackground(m_picture1, kWindowBackground);

    m_progress = new QLabel(m_picture1);
    m_progress->setObjectName(QStringLiteral("Progress"));
    // Narrowing the label clips the picture from the right: it is never scaled.
    m_progress->setScaledContents(false);
    m_progress->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_progress->setPixmap(QPixmap::fromImage(barPicture()));
    m_progress->setGeometry(
        toPixels(kProgressPlace).translated(m_picture1->frameWidth(), m_picture1->frameWidth()));

    m_perCent = makeLabel(m_frame1, "PerCent", QStringLiteral("0.00%"), kPerCentPlace, kFormGrey);
    m_perCent->setAlignment(Qt::AlignRight | Qt::AlignTop);

    m_command1 = new QPushButton(QString::fromLatin1(kIdleCaption), this);
    m_command1->setObjectName(QStringLiteral("Command1"));
    m_command1->setGeometry(toPixels(kCommand1Place));
    m_command1->setFont(labelFont());
    m_command1->setEnabled(false);
    m_command1->setAutoDefault(true);
    connect(m_command1, &QPushButton::clicked, this, [this] { onCommand1Clicked(); });

    m_s1080 = new QCheckBox(QStringLiteral("Skip M2TS"), this);
    m_s1080->setObjectName(QStringLiteral("s1080"));
    m_s1080->setGeometry(toPixels(kS1080Place));
    m_s1080->setFont(labelFont());
    auto* checkBoxStyle = new CheckBoxStyle;
    checkBoxStyle->setParent(m_s1080);
    m_s1080->setStyle(checkBoxStyle);
    m_s1080->setBackgroundRole(QPalette::Window);
    paintBackground(m_s1080, kFormGrey);

    // Labels, frames and the picture take no focus; what is left, in order: the convert button
    // (once enabled), Browse, the log box, the check box.
    setTabOrder(m_command1, m_browse);
    setTabOrder(m_browse, m_statusLog);
    setTabOrder(m_statusLog, m_s1080);
    m_browse->setFocus();
}

QImage MainWindow::barPicture() {
    QImage picture(kBarWidth, kBarHeight, QImage::Format_RGB32);
    for (int y = 0; y < kBarHeight; ++y) {
        for (int x = 0; x < kBarWidth; ++x) {
            picture.setPixel(x, y, x == 0 ? kBarFirstColumn : kBarRows[static_cast<size_t>(y)]);
        }
    }
    return picture;
}

bool MainWindow::Form_Load(const std::string& programFolder) {
    return m_core.Form_Load(programFolder);
}

void MainWindow::Browse_Click() {
    std::string p = BrowseForDirectory(m_source, kBrowsePrompt);
    p = ConversionDriver::sourceFromSelection(p);
    // An empty choice is no source, whatever the working folder holds: the convert button must
    // never be enabled under an empty source caption.
    if (!p.empty() && ConversionDriver::srcVerified(p)) {
        setSource(p);
        m_command1->setEnabled(true);
    } else if (!p.empty()) {
        showMessageBox("Selected source is not BD format.", "Illegal Source",
                       MessageBoxKind::Error);
    } else {
        setSource({});
        m_command1->setEnabled(false);
    }
}

std::string MainWindow::BrowseForDirectory(const std::string& current,
                                           const std::string& titletxt) {
    const std::optional<std::string> picked = m_picker(current, titletxt);
    if (!picked || picked->empty()) return current;
    // The path keeps its letter case: names on this platform are case-sensitive.
    std::string path = *picked;
    if (path.back() != fs::kSeparator) path += fs::kSeparator;
    return path;
}

std::optional<std::string> MainWindow::pickWithDialog(const std::string& current,
                                                      const std::string& title) {
    const QString folder = QFileDialog::getExistingDirectory(
        this, QString::fromStdString(title), fromPath(current),
        QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
    if (folder.isEmpty()) return std::nullopt;
    return QFile::encodeName(folder).toStdString();
}

void MainWindow::setSource(const std::string& path) {
    m_source = path;
    m_src->setText(fromPath(path));
    m_src->setToolTip(fromPath(path));
}

std::string MainWindow::buttonCaption() const {
    return m_command1->text().toStdString();
}

void MainWindow::setButtonCaption(const std::string& caption) {
    m_command1->setText(QString::fromStdString(caption));
}

bool MainWindow::skipM2tsTicked() const {
    return m_s1080->checkState() == Qt::Checked;
}

void MainWindow::replaceLogText(const std::string& text) {
    m_logSource = QString::fromStdString(text);
    QString shown = m_logSource;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    // Every line ends with a line break; the one after the newest line would only show an empty
    // line under it.
    if (shown.endsWith(QLatin1Char('\n'))) shown.chop(1);
    m_statusLog->setPlainText(shown);
}

void MainWindow::setLogCaret(long long position, long long selectionLength) {
    const long long start = std::max(0LL, position);
    const long long end = start + std::max(0LL, selectionLength);
    QTextCursor cursor = m_statusLog->textCursor();
    const int last = m_statusLog->document()->characterCount() - 1;
    cursor.setPosition(std::min(boxPosition(m_logSource, start), last));
    cursor.setPosition(std::min(boxPosition(m_logSource, end), last), QTextCursor::KeepAnchor);
    m_statusLog->setTextCursor(cursor);
    m_statusLog->ensureCursorVisible();
}

void MainWindow::repaintLog() {
    m_statusLog->viewport()->repaint();
}

void MainWindow::setBarWidth(float twips) {
    m_barTwips = std::clamp(twips, 0.0f, kBarFullTwips);
    const int pixels = static_cast<int>(std::lround(m_barTwips / kTwipsPerPixel));
    m_progress->resize(pixels, kBarHeight);
}

void MainWindow::setPercentText(const std::string& text) {
    m_perCent->setText(QString::fromStdString(text));
}

void MainWindow::setTickInterval(int milliseconds) {
    // An interval of 0 stops the ticks rather than firing on every turn of the event loop.
    if (milliseconds <= 0) {
        m_timer.stop();
        return;
    }
    m_timer.start(milliseconds);
}

bool MainWindow::stopRequested() {
    QCoreApplication::processEvents();
    return m_core.abortRequested();
}

void MainWindow::showProgress(double fraction, const std::string& caption) {
    setBarWidth(static_cast<float>(fraction * kBarFullTwips));
    setPercentText(caption);
}

MessageBoxResult MainWindow::showMessageBox(const std::string& text, const std::string& title,
                                            MessageBoxKind kind) {
    QMessageBox box(this);
    box.setWindowTitle(QString::fromStdString(title));
    box.setText(QString::fromStdString(text));
    switch (kind) {
        case MessageBoxKind::Plain:
            box.setIcon(QMessageBox::NoIcon);
            box.setStandardButtons(QMessageBox::Ok);
            break;
        case MessageBoxKind::Error:
            box.setIcon(QMessageBox::Critical);
            box.setStandardButtons(QMessageBox::Ok);
            break;
        case MessageBoxKind::Question:
            box.setIcon(QMessageBox::Warning);
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            box.setDefaultButton(QMessageBox::Yes);
            box.setEscapeButton(QMessageBox::No);
            break;
    }
    switch (box.exec()) {
        case QMessageBox::Yes:
            return MessageBoxResult::Yes;
        case QMessageBox::No:
            return MessageBoxResult::No;
        default:
            // A question closed without an answer changes nothing, like No.
            return kind == MessageBoxKind::Question ? MessageBoxResult::No : MessageBoxResult::Ok;
    }
}

void MainWindow::endProgram() {
    m_timer.stop();
    m_ender(m_exitCode);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (m_core.Form_QueryUnload()) {
        event->ignore();
        return;
    }
    event->accept();
}

void MainWindow::onCommand1Clicked() {
    // Qt lets no exception cross its event loop: an error no step traps stops here, where the
    // job began, and ends the program.
    if (const auto error = untrappedError([this] { m_core.Command1_Click(); })) {
        reportFatalError(*error);
    }
}

void MainWindow::reportFatalError(const std::string& description) {
    showMessageBox(description, kFatalErrorTitle, MessageBoxKind::Error);
    m_exitCode = kFatalExitCode;
    endProgram();
}

}  // namespace quorvel
