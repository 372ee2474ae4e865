#include "app/win32/MainWindow.h"

#include <commctrl.h>
#include <shobjidl.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>

#include "app/win32/WindowText.h"
#include "platform/ProgramLocation.h"

namespace quorvel::win32 {

namespace {

constexpr const wchar_t* kWindowClass = L"QuorvelMainWindow";
constexpr const char* kWindowCaption = "Quorvel v1.12";
constexpr const char* kBrowsePrompt = "Select TSMUXER output folder:";
constexpr const char* kFatalErrorTitle = "Quorvel";
// Logoff or shutdown asked while a job ran: the question waits until the system's request has
// been answered ("not yet"), since the system gives that answer only a few seconds.
constexpr UINT kAskAbortMessage = WM_APP + 1;
constexpr UINT_PTR kTimerId = 1;
// The icon in the program's resources.
constexpr int kIconId = 1;

constexpr COLORREF kFormGrey = RGB(0xE0, 0xE0, 0xE0);
constexpr COLORREF kWhite = RGB(0xFF, 0xFF, 0xFF);
// The bar picture's rows, top to bottom: a dark edge, two lighter shades, the body, a dark edge;
// its first column is white.
constexpr std::array<COLORREF, 6> kBarRows = {RGB(0x17, 0x26, 0x7B), RGB(0x7C, 0x9C, 0xBF),
                                              RGB(0x5D, 0x87, 0xBE), RGB(0x1A, 0x6E, 0xE2),
                                              RGB(0x1A, 0x6E, 0xE2), RGB(0x17, 0x26, 0x7B)};

// Font sizes in hundredths of a point.
constexpr int kLabelCentipoints = 825;
constexpr int kLogCentipoints = 900;
constexpr int kCentipointsPerInch = 7200;

constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kWindowExStyle = 0;

// A control's place in the window's client area, in twips (1/1440 inch; 15 to a pixel at
// 96 DPI). Controls of the form's two frames are placed here with their frame's offset added.
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
constexpr TwipsRect kStatusLogPlace{300 + 120, 900 + 120, 5955, 2955};
constexpr TwipsRect kFrame1Place{300, 4020, 6135, 555};
constexpr TwipsRect kLabel3Place{300 + 0, 4020 + 180, 1395, 255};
constexpr TwipsRect kPicture1Place{300 + 1500, 4020 + 225, 3700, 170};
constexpr TwipsRect kProgressPlace{300 + 1500 + 0, 4020 + 225 + 30, 3675, 90};
constexpr TwipsRect kPerCentPlace{300 + 5280, 4020 + 180, 675, 195};
constexpr TwipsRect kCommand1Place{2400, 4800, 1875, 495};
constexpr TwipsRect kS1080Place{5340, 5220, 1455, 195};
constexpr TwipsRect kClientPlace{0, 0, 6750, 5580};

// The labels nothing reads or changes.
constexpr int kLabel4Id = 201;
constexpr int kLabel1Id = 202;
constexpr int kLabel3Id = 203;

struct ControlLayout {
    int id;
    const wchar_t* windowClass;
    const char* caption;
    DWORD style;
    DWORD exStyle;
    TwipsRect place;
};

// In tab order: the convert button, Browse, the log box, the check box; labels take no focus.
const std::array<ControlLayout, 10> kControls = {{
    {MainWindow::kCommand1Id, L"BUTTON", kIdleCaption, BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED, 0,
     kCommand1Place},
    {MainWindow::kBrowseId, L"BUTTON", "Browse", BS_PUSHBUTTON | WS_TABSTOP, 0, kBrowsePlace},
    {MainWindow::kStatusLogId, L"EDIT", "",
     ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE,
     kStatusLogPlace},
    {MainWindow::kS1080Id, L"BUTTON", "Skip M2TS", BS_AUTOCHECKBOX | WS_TABSTOP, 0, kS1080Place},
    {kLabel4Id, L"STATIC", "Source Path:", SS_LEFT | SS_NOPREFIX, 0, kLabel4Place},
    {MainWindow::kSrcId, L"STATIC", "", SS_LEFT | SS_NOPREFIX | SS_PATHELLIPSIS, 0, kSrcPlace},
    {kLabel1Id, L"STATIC", "Status:", SS_LEFT | SS_NOPREFIX, 0, kLabel1Place},
    {kLabel3Id, L"STATIC", "Current Progress:", SS_RIGHT | SS_NOPREFIX, 0, kLabel3Place},
    {MainWindow::kPerCentId, L"STATIC", "0.00%", SS_RIGHT | SS_NOPREFIX, 0, kPerCentPlace},
    {MainWindow::kProgressId, L"STATIC", "", SS_OWNERDRAW, 0, kProgressPlace},
}};

RECT toRect(int left, int top, int width, int height) {
    return RECT{left, top, left + width, top + height};
}

// Releases a COM interface when it goes out of scope.
template <typename Interface>
class ComRef {
  public:
    ComRef() = default;
    ~ComRef() {
        if (m_pointer != nullptr) m_pointer->Release();
    }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    Interface* operator->() const { return m_pointer; }
    Interface** out() { return &m_pointer; }
    Interface* get() const { return m_pointer; }

  private:
    Interface* m_pointer = nullptr;
};

}  // namespace

MainWindow::MainWindow(std::unique_ptr<JobSteps> steps) : m_core(*this, std::move(steps)) {
    m_greyBrush = ::CreateSolidBrush(kFormGrey);
    m_whiteBrush = ::CreateSolidBrush(kWhite);
}

MainWindow::~MainWindow() {
    if (m_window != nullptr) {
        // The window procedure must not reach this object once it is gone.
        ::SetWindowLongPtrW(m_window, GWLP_USERDATA, 0);
        ::DestroyWindow(m_window);
    }
    for (HGDIOBJ object : {static_cast<HGDIOBJ>(m_labelFont), static_cast<HGDIOBJ>(m_logFont),
                           static_cast<HGDIOBJ>(m_greyBrush), static_cast<HGDIOBJ>(m_whiteBrush)}) {
        if (object != nullptr) ::DeleteObject(object);
    }
}

bool MainWindow::create(HINSTANCE instance) {
    // The buttons, check box and edit box of common controls version 6 (the manifest asks for
    // it), drawn in the system's current look.
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &MainWindow::windowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(kIconId));
    windowClass.hIconSm = windowClass.hIcon;
    windowClass.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    windowClass.hbrBackground = m_greyBrush;
    windowClass.lpszClassName = kWindowClass;
    // A second window in the same process (tests) finds the class registered already.
    if (::RegisterClassExW(&windowClass) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return false;
    }

    const std::wstring caption = wideText(kWindowCaption);
    m_window = ::CreateWindowExW(kWindowExStyle, kWindowClass, caption.c_str(), kWindowStyle,
                                 CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                 nullptr, nullptr, instance, this);
    if (m_window == nullptr) return false;
    m_dpi = std::max<UINT>(::GetDpiForWindow(m_window), 1);
    buildControls();
    makeFonts();
    layout();
    m_timer = ::SetTimer(m_window, kTimerId, kTickMilliseconds, nullptr);
    ::SetFocus(control(kBrowseId));
    return true;
}

void MainWindow::buildControls() {
    const auto instance =
        reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(m_window, GWLP_HINSTANCE));
    for (const ControlLayout& item : kControls) {
        const std::wstring caption = wideText(item.caption);
        ::CreateWindowExW(item.exStyle, item.windowClass, caption.c_str(),
                          WS_CHILD | WS_VISIBLE | item.style, 0, 0, 0, 0, m_window,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(item.id)), instance,
                          nullptr);
    }
    // The log is cut back by the program itself (at 65000 characters); the box takes it all.
    ::SendMessageW(control(kStatusLogId), EM_SETLIMITTEXT, 0, 0);
}

int MainWindow::scaled(int twips) const {
    return ::MulDiv(twips, static_cast<int>(m_dpi), kTwipsPerInch);
}

void MainWindow::makeFonts() {
    const int dpi = static_cast<int>(m_dpi);
    const HFONT labelFont =
        ::CreateFontW(-::MulDiv(kLabelCentipoints, dpi, kCentipointsPerInch), 0, 0, 0, FW_NORMAL,
                      FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                      CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, VARIABLE_PITCH | FF_SWISS, L"Arial");
    const HFONT logFont = ::CreateFontW(
        -::MulDiv(kLogCentipoints, dpi, kCentipointsPerInch), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
        FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
        FIXED_PITCH | FF_MODERN, L"Lucida Console");
    for (const ControlLayout& item : kControls) {
        const HFONT font = item.id == kStatusLogId ? logFont : labelFont;
        ::SendMessageW(control(static_cast<ControlId>(item.id)), WM_SETFONT,
                       reinterpret_cast<WPARAM>(font), TRUE);
    }
    if (m_labelFont != nullptr) ::DeleteObject(m_labelFont);
    if (m_logFont != nullptr) ::DeleteObject(m_logFont);
    m_labelFont = labelFont;
    m_logFont = logFont;
}

void MainWindow::layout() {
    for (const ControlLayout& item : kControls) {
        int width = scaled(item.place.width);
        int left = scaled(item.place.left);
        int top = scaled(item.place.top);
        if (item.id == kProgressId) {
            // Inside the well's one-pixel (at 96 DPI) sunken edge; its width shows the progress.
            const int edge = std::max(1, scaled(MainWindow::kTwipsPerInch / kBaseDpi));
            left += edge;
            top += edge;
            width = scaled(static_cast<int>(std::lround(m_barTwips)));
        }
        ::SetWindowPos(control(static_cast<ControlId>(item.id)), nullptr, left, top, width,
                       scaled(item.place.height), SWP_NOZORDER | SWP_NOACTIVATE);
    }
    RECT outer{0, 0, scaled(kClientPlace.width), scaled(kClientPlace.height)};
    ::AdjustWindowRectExForDpi(&outer, kWindowStyle, FALSE, kWindowExStyle, m_dpi);
    ::SetWindowPos(m_window, nullptr, 0, 0, outer.right - outer.left, outer.bottom - outer.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ::InvalidateRect(m_window, nullptr, TRUE);
}

bool MainWindow::Form_Load(const std::string& programFolder) {
    return m_core.Form_Load(programFolder);
}

void MainWindow::Browse_Click() {
    std::string p = m_source;
    if (std::optional<std::string> picked = pickFolder(m_source, kBrowsePrompt)) {
        if (!picked->empty()) p = *picked;
    }
    acceptSource(p);
}

void MainWindow::preselect(const std::string& folder) {
    std::string path = programPath(folder);
    if (path.empty()) return;
    if (!platform::isAbsolutePath(path)) {
        const std::string working = platform::workingFolder();
        if (!working.empty()) path = working + "/" + path;
    }
    acceptSource(path);
}

void MainWindow::acceptSource(std::string picked) {
    const std::string p = ConversionDriver::sourceFromSelection(programPath(picked));
    // An empty choice is no source, whatever the working folder holds: the convert button must
    // never be enabled under an empty source caption.
    if (!p.empty() && ConversionDriver::srcVerified(p)) {
        setSource(p);
        ::EnableWindow(control(kCommand1Id), TRUE);
    } else if (!p.empty()) {
        showMessageBox("Selected source is not BD format.", "Illegal Source",
                       MessageBoxKind::Error);
    } else {
        setSource({});
        ::EnableWindow(control(kCommand1Id), FALSE);
    }
}

std::optional<std::string> MainWindow::pickFolder(const std::string& current,
                                                  const std::string& title) {
    ComRef<IFileOpenDialog> dialog;
    if (FAILED(::CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IFileOpenDialog, reinterpret_cast<void**>(dialog.out())))) {
        return std::nullopt;
    }
    FILEOPENDIALOGOPTIONS options = 0;
    dialog->GetOptions(&options);
    dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST);
    dialog->SetTitle(wideText(title).c_str());
    if (!current.empty()) {
        // The dialog opens on the current source.
        ComRef<IShellItem> start;
        if (SUCCEEDED(::SHCreateItemFromParsingName(nativePath(current).c_str(), nullptr,
                                                    IID_IShellItem,
                                                    reinterpret_cast<void**>(start.out())))) {
            dialog->SetFolder(start.get());
        }
    }
    if (FAILED(dialog->Show(m_window))) return std::nullopt;
    ComRef<IShellItem> chosen;
    if (FAILED(dialog->GetResult(chosen.out()))) return std::nullopt;
    wchar_t* path = nullptr;
    if (FAILED(chosen->GetDisplayName(SIGDN_FILESYSPATH, &path)) || path == nullptr) {
        return std::nullopt;
    }
    const std::string folder = programPath(toUtf8(path));
    ::CoTaskMemFree(path);
    return folder;
}

void MainWindow::setSource(const std::string& path) {
    m_source = path;
    ::SetWindowTextW(control(kSrcId), nativePath(path).c_str());
}

std::string MainWindow::buttonCaption() const {
    return windowText(control(kCommand1Id));
}

void MainWindow::setButtonCaption(const std::string& caption) {
    ::SetWindowTextW(control(kCommand1Id), wideText(caption).c_str());
}

bool MainWindow::skipM2tsTicked() const {
    // A greyed (indeterminate) box counts as not ticked.
    return ::SendMessageW(control(kS1080Id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void MainWindow::replaceLogText(const std::string& text) {
    m_logWide = wideText(text);
    ::SetWindowTextW(control(kStatusLogId), m_logWide.c_str());
}

void MainWindow::setLogCaret(long long position, long long selectionLength) {
    const long long start = std::max(0LL, position);
    const long long end = start + std::max(0LL, selectionLength);
    const HWND log = control(kStatusLogId);
    ::SendMessageW(log, EM_SETSEL, static_cast<WPARAM>(utf16Index(m_logWide, start)),
                   static_cast<LPARAM>(utf16Index(m_logWide, end)));
    ::SendMessageW(log, EM_SCROLLCARET, 0, 0);
}

void MainWindow::repaintLog() {
    ::RedrawWindow(control(kStatusLogId), nullptr, nullptr,
                   RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
}

void MainWindow::setBarWidth(float twips) {
    m_barTwips = std::clamp(twips, 0.0f, kBarFullTwips);
    const HWND bar = control(kProgressId);
    RECT place{};
    ::GetWindowRect(bar, &place);
    ::SetWindowPos(bar, nullptr, 0, 0, scaled(static_cast<int>(std::lround(m_barTwips))),
                   place.bottom - place.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ::InvalidateRect(bar, nullptr, TRUE);
}

void MainWindow::setPercentText(const std::string& text) {
    ::SetWindowTextW(control(kPerCentId), wideText(text).c_str());
}

void MainWindow::setTickInterval(int milliseconds) {
    // An interval of 0 stops the ticks rather than firing on every turn of the message loop.
    if (milliseconds <= 0) {
        ::KillTimer(m_window, kTimerId);
        m_timer = 0;
        return;
    }
    m_timer = ::SetTimer(m_window, kTimerId, static_cast<UINT>(milliseconds), nullptr);
}

bool MainWindow::stopRequested() {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // The outer loop must still see it.
            ::PostQuitMessage(static_cast<int>(message.wParam));
            break;
        }
        dispatch(message);
    }
    return m_core.abortRequested();
}

void MainWindow::showProgress(double fraction, const std::string& caption) {
    setBarWidth(static_cast<float>(fraction * kBarFullTwips));
    setPercentText(caption);
}

MessageBoxResult MainWindow::showMessageBox(const std::string& text, const std::string& title,
                                            MessageBoxKind kind) {
    UINT type = MB_OK;
    switch (kind) {
        case MessageBoxKind::Plain:
            break;
        case MessageBoxKind::Error:
            type = MB_OK | MB_ICONERROR;
            break;
        case MessageBoxKind::Question:
            type = MB_YESNO | MB_ICONWARNING;
            break;
    }
    const int answer = ::MessageBoxW(m_window, wideText(text).c_str(), wideText(title).c_str(),
                                     type | MB_SETFOREGROUND);
    if (answer == IDYES) return MessageBoxResult::Yes;
    if (answer == IDNO) return MessageBoxResult::No;
    // A question closed without an answer changes nothing, like No.
    return kind == MessageBoxKind::Question ? MessageBoxResult::No : MessageBoxResult::Ok;
}

void MainWindow::endProgram() {
    m_ended = true;
    if (m_window != nullptr) {
        ::DestroyWindow(m_window);
    } else {
        ::PostQuitMessage(m_exitCode);
    }
}

int MainWindow::run() {
    MSG message;
    BOOL got = 0;
    while ((got = ::GetMessageW(&message, nullptr, 0, 0)) > 0) dispatch(message);
    return got < 0 ? kFatalExitCode : static_cast<int>(message.wParam);
}

void MainWindow::dispatch(MSG& message) {
    // A push button with the focus takes Return and keypad Enter (the same key code) as it takes
    // Space; the dialog manager below would only send the window an IDOK that nothing handles.
    if (message.message == WM_KEYDOWN && message.wParam == VK_RETURN && m_window != nullptr &&
        ::GetParent(message.hwnd) == m_window) {
        const int id = ::GetDlgCtrlID(message.hwnd);
        if ((id == kBrowseId || id == kCommand1Id) && ::IsWindowEnabled(message.hwnd)) {
            ::SendMessageW(message.hwnd, BM_CLICK, 0, 0);
            return;
        }
    }
    if (m_window != nullptr && ::IsDialogMessageW(m_window, &message)) return;
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
}

void MainWindow::onCommand1Clicked() {
    // No exception may cross the window procedure: an error no step traps stops here, where the
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

void MainWindow::onQueryEndSession(LPARAM reason, LRESULT& answer) {
    answer = TRUE;
    if (!m_core.jobActive()) return;
    if ((reason & ENDSESSION_CRITICAL) != 0) {
        // No answer can be waited for: the job stops at its next safe point, as after Abort.
        if (buttonCaption() == kAbortCaption) m_core.Command1_Click();
        return;
    }
    ::ShutdownBlockReasonCreate(m_window, wideText("Process executing.").c_str());
    ::PostMessageW(m_window, kAskAbortMessage, 0, 0);
    answer = FALSE;
}

void MainWindow::drawBar(const DRAWITEMSTRUCT& item) const {
    const RECT& area = item.rcItem;
    const int height = area.bottom - area.top;
    const int rows = static_cast<int>(kBarRows.size());
    const int firstColumn = std::max(1, scaled(kTwipsPerInch / kBaseDpi));
    for (int row = 0; row < rows; ++row) {
        const int top = area.top + height * row / rows;
        const int bottom = area.top + height * (row + 1) / rows;
        const HBRUSH brush = ::CreateSolidBrush(kBarRows[static_cast<std::size_t>(row)]);
        const RECT band{area.left, top, area.right, bottom};
        ::FillRect(item.hDC, &band, brush);
        ::DeleteObject(brush);
    }
    const RECT first{area.left, area.top, std::min(area.right, area.left + firstColumn),
                     area.bottom};
    ::FillRect(item.hDC, &first, m_whiteBrush);
}

LRESULT CALLBACK MainWindow::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        auto* self = static_cast<MainWindow*>(creation->lpCreateParams);
        self->m_window = window;
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<MainWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) return ::DefWindowProcW(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
    return self->onMessage(window, message, wParam, lParam);
}

LRESULT MainWindow::onMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            if (HIWORD(wParam) == BN_CLICKED) {
                if (LOWORD(wParam) == kCommand1Id) {
                    onCommand1Clicked();
                    return 0;
                }
                if (LOWORD(wParam) == kBrowseId) {
                    if (const auto error = untrappedError([this] { Browse_Click(); })) {
                        reportFatalError(*error);
                    }
                    return 0;
                }
            }
            break;
        case WM_TIMER:
            if (wParam == kTimerId) m_core.Timer1_Timer();
            return 0;
        case WM_CLOSE:
            if (!m_core.Form_QueryUnload()) ::DestroyWindow(m_window);
            return 0;
        case WM_QUERYENDSESSION: {
            LRESULT answer = TRUE;
            onQueryEndSession(lParam, answer);
            return answer;
        }
        case WM_ENDSESSION:
            // The session ends whatever we do: the job stops at its next safe point if the
            // process lives that long, as after a console close.
            if (wParam != 0 && m_core.jobActive() && buttonCaption() == kAbortCaption) {
                m_core.Command1_Click();
            }
            return 0;
        case kAskAbortMessage:
            m_core.Form_QueryUnload();
            ::ShutdownBlockReasonDestroy(m_window);
            return 0;
        case WM_CTLCOLORSTATIC: {
            const int id = ::GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
            const bool white = id == kSrcId || id == kStatusLogId;
            const auto dc = reinterpret_cast<HDC>(wParam);
            ::SetBkColor(dc, white ? kWhite : kFormGrey);
            ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
            return reinterpret_cast<LRESULT>(white ? m_whiteBrush : m_greyBrush);
        }
        case WM_DRAWITEM: {
            const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            if (item->CtlID == static_cast<UINT>(kProgressId)) {
                drawBar(*item);
                return TRUE;
            }
            break;
        }
        case WM_PAINT: {
            PAINTSTRUCT paint;
            const HDC dc = ::BeginPaint(m_window, &paint);
            // The two frames and the well of the bar are drawn, not windows: the controls inside
            // them are the window's own, so their notifications come here.
            RECT frame2 = toRect(scaled(kFrame2Place.left), scaled(kFrame2Place.top),
                                 scaled(kFrame2Place.width), scaled(kFrame2Place.height));
            ::FillRect(dc, &frame2, m_whiteBrush);
            ::DrawEdge(dc, &frame2, EDGE_ETCHED, BF_RECT);
            RECT frame1 = toRect(scaled(kFrame1Place.left), scaled(kFrame1Place.top),
                                 scaled(kFrame1Place.width), scaled(kFrame1Place.height));
            ::DrawEdge(dc, &frame1, EDGE_ETCHED, BF_RECT);
            RECT well = toRect(scaled(kPicture1Place.left), scaled(kPicture1Place.top),
                               scaled(kPicture1Place.width), scaled(kPicture1Place.height));
            ::FillRect(dc, &well, m_whiteBrush);
            ::DrawEdge(dc, &well, BDR_SUNKENOUTER, BF_RECT);
            ::EndPaint(m_window, &paint);
            return 0;
        }
        case WM_DPICHANGED: {
            m_dpi = std::max<UINT>(HIWORD(wParam), 1);
            const auto* suggested = reinterpret_cast<const RECT*>(lParam);
            ::SetWindowPos(m_window, nullptr, suggested->left, suggested->top, 0, 0,
                           SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
            makeFonts();
            layout();
            return 0;
        }
        case WM_DESTROY:
            ::KillTimer(m_window, kTimerId);
            ::PostQuitMessage(m_exitCode);
            m_window = nullptr;
            return 0;
        default:
            break;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace quorvel::win32
