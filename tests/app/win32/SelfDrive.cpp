// quorvel-window-test: a test program, never shipped. It opens the real window on a disc folder
// (preselected as the command line does), presses the convert button with BM_CLICK (what a
// mouse click on it sends), waits for the job's end and writes what the controls show to a
// report: the client area's size, the button's caption, the percentage, the log box's text. It
// can save the client area as a picture. It converts the folder in place, so hand it a copy.
// Message boxes are answered without a click (questions with No) and listed in the report.
//
// Usage: quorvel-window-test [--abort-at-first-tick | --ask-at-first-tick]
//                            [--press-with-return | --press-with-enter] REPORT SOURCE [PICTURE.bmp]
//
// --press-with-return and --press-with-enter give the button the focus and press Return (or the
// keypad's Enter) instead of clicking it.
// At the first progress tick of the stream pass, --abort-at-first-tick presses the button again
// (it reads "Abort" then); --ask-at-first-tick asks the window to close and the session to end,
// both of which the window answers with its question (answered No here).

#include <objbase.h>
#include <shellapi.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/win32/MainWindow.h"
#include "app/win32/WindowText.h"
#include "platform/ProgramLocation.h"

namespace {

using quorvel::win32::MainWindow;
using quorvel::win32::toUtf8;
using quorvel::win32::windowText;

constexpr int kExitDone = 0;
constexpr int kExitUsage = 2;
// Long enough for the window to be mapped and painted on a virtual display.
constexpr DWORD kSettleMilliseconds = 700;
constexpr WORD kBitsPerPixel = 24;
// WM_KEYDOWN's lParam for one press of Return: repeat count 1, scan code 0x1C; the keypad's Enter
// sends the same key code with the extended-key bit.
constexpr LPARAM kReturnKeyData = 0x001C0001;
constexpr LPARAM kEnterKeyData = 0x011C0001;

class DrivenWindow final : public MainWindow {
  public:
    enum class AtFirstTick { Nothing, Abort, Ask };
    AtFirstTick atFirstTick = AtFirstTick::Nothing;
    std::vector<std::string> boxes;
    std::string percentAtFirstTick;
    // What the window answered the system's logoff question (TRUE: the session may end).
    LRESULT endSessionAnswer = -1;

    quorvel::MessageBoxResult showMessageBox(const std::string& text, const std::string& title,
                                             quorvel::MessageBoxKind kind) override {
        boxes.push_back(title + ": " + text);
        return kind == quorvel::MessageBoxKind::Question ? quorvel::MessageBoxResult::No
                                                         : quorvel::MessageBoxResult::Ok;
    }

    void showProgress(double fraction, const std::string& caption) override {
        MainWindow::showProgress(fraction, caption);
        if (atFirstTick == AtFirstTick::Nothing || !percentAtFirstTick.empty()) return;
        percentAtFirstTick = caption;
        if (atFirstTick == AtFirstTick::Abort) {
            // Queued like a real click: the job's next safe point dispatches it.
            ::PostMessageW(control(kCommand1Id), BM_CLICK, 0, 0);
        } else {
            ::PostMessageW(handle(), WM_CLOSE, 0, 0);
            endSessionAnswer = ::SendMessageW(handle(), WM_QUERYENDSESSION, 0, 0);
        }
    }
};

void settle(MainWindow& window, DWORD milliseconds) {
    const ULONGLONG until = ::GetTickCount64() + milliseconds;
    while (::GetTickCount64() < until) {
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) window.dispatch(message);
        ::Sleep(10);
    }
}

// Captions wider than their control, as "name" entries; a check box's caption starts after its
// box.
std::string overflowingCaptions(HWND window, UINT dpi) {
    struct Search {
        UINT dpi;
        std::string found;
    } search{dpi, {}};
    ::EnumChildWindows(
        window,
        [](HWND child, LPARAM data) -> BOOL {
            auto& search = *reinterpret_cast<Search*>(data);
            wchar_t kind[16] = {};
            ::GetClassNameW(child, kind, 16);
            const std::wstring text = quorvel::win32::wideText(windowText(child));
            const LONG style = ::GetWindowLongW(child, GWL_STYLE);
            const bool isStatic = ::lstrcmpiW(kind, L"Static") == 0;
            const bool isButton = ::lstrcmpiW(kind, L"Button") == 0;
            // The source label shortens a long path with an ellipsis by itself.
            if (text.empty() || (!isStatic && !isButton) || (style & SS_PATHELLIPSIS) != 0) {
                return TRUE;
            }
            const HDC dc = ::GetDC(child);
            const auto font = reinterpret_cast<HFONT>(::SendMessageW(child, WM_GETFONT, 0, 0));
            const HGDIOBJ old = ::SelectObject(dc, font);
            SIZE extent{};
            ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
            ::SelectObject(dc, old);
            ::ReleaseDC(child, dc);
            RECT client{};
            ::GetClientRect(child, &client);
            LONG room = client.right;
            if (isButton && (style & BS_TYPEMASK) == BS_AUTOCHECKBOX) {
                room -= ::GetSystemMetricsForDpi(SM_CXMENUCHECK, search.dpi);
            } else if (isButton) {
                room -= 2 * ::GetSystemMetricsForDpi(SM_CXEDGE, search.dpi);
            }
            if (extent.cx > room || extent.cy > client.bottom) {
                search.found += " \"" + windowText(child) + "\"";
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

const char* outcomeName(quorvel::JobOutcome outcome) {
    switch (outcome) {
        case quorvel::JobOutcome::Succeeded:
            return "succeeded";
        case quorvel::JobOutcome::Aborted:
            return "aborted";
        case quorvel::JobOutcome::Failed:
            return "failed";
        case quorvel::JobOutcome::Busy:
            return "busy";
        case quorvel::JobOutcome::None:
            break;
    }
    return "none";
}

// The client area as it is on the screen, as a 24-bit bottom-up BMP file.
bool savePicture(HWND window, const std::wstring& path) {
    RECT client{};
    ::GetClientRect(window, &client);
    const int width = client.right;
    const int height = client.bottom;
    const HDC screen = ::GetDC(window);
    const HDC memory = ::CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = kBitsPerPixel;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool saved = false;
    if (bitmap != nullptr) {
        const HGDIOBJ old = ::SelectObject(memory, bitmap);
        ::BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
        ::GdiFlush();
        const DWORD stride = ((static_cast<DWORD>(width) * 3 + 3) / 4) * 4;
        const DWORD imageSize = stride * static_cast<DWORD>(height);
        BITMAPFILEHEADER header{};
        header.bfType = 0x4D42;  // "BM"
        header.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
        header.bfSize = header.bfOffBits + imageSize;
        info.bmiHeader.biSizeImage = imageSize;
        if (std::FILE* out = ::_wfopen(path.c_str(), L"wb")) {
            saved = std::fwrite(&header, sizeof(header), 1, out) == 1 &&
                    std::fwrite(&info.bmiHeader, sizeof(info.bmiHeader), 1, out) == 1 &&
                    std::fwrite(bits, 1, imageSize, out) == imageSize;
            saved = std::fclose(out) == 0 && saved;
        }
        ::SelectObject(memory, old);
        ::DeleteObject(bitmap);
    }
    ::DeleteDC(memory);
    ::ReleaseDC(window, screen);
    return saved;
}

int drive(HINSTANCE instance, const std::vector<std::wstring>& arguments) {
    auto atFirstTick = DrivenWindow::AtFirstTick::Nothing;
    LPARAM pressKey = 0;
    std::vector<std::wstring> positional;
    for (const std::wstring& argument : arguments) {
        if (argument == L"--abort-at-first-tick") {
            atFirstTick = DrivenWindow::AtFirstTick::Abort;
        } else if (argument == L"--ask-at-first-tick") {
            atFirstTick = DrivenWindow::AtFirstTick::Ask;
        } else if (argument == L"--press-with-return") {
            pressKey = kReturnKeyData;
        } else if (argument == L"--press-with-enter") {
            pressKey = kEnterKeyData;
        } else {
            positional.push_back(argument);
        }
    }
    if (positional.size() < 2 || positional.size() > 3) {
        std::fputs("Usage: quorvel-window-test [--abort-at-first-tick | --ask-at-first-tick] "
                   "[--press-with-return | --press-with-enter] REPORT SOURCE [PICTURE.bmp]\n",
                   stderr);
        return kExitUsage;
    }
    std::FILE* report = ::_wfopen(positional[0].c_str(), L"wb");
    if (report == nullptr) return kExitUsage;

    DrivenWindow window;
    window.atFirstTick = atFirstTick;
    if (!window.create(instance) || !window.Form_Load(quorvel::platform::programFolder())) {
        std::fputs("start refused\n", report);
        for (const std::string& box : window.boxes) std::fprintf(report, "box %s\n", box.c_str());
        std::fclose(report);
        return kExitUsage;
    }
    ::ShowWindow(window.handle(), SW_SHOWNORMAL);
    ::UpdateWindow(window.handle());
    ::SetForegroundWindow(window.handle());
    settle(window, kSettleMilliseconds);

    window.preselect(toUtf8(positional[1]));
    const HWND command1 = window.control(MainWindow::kCommand1Id);
    std::fprintf(report, "source %s\n", window.sourcePath().c_str());
    std::fprintf(report, "enabled %d\n", ::IsWindowEnabled(command1) ? 1 : 0);
    if (::IsWindowEnabled(command1) && pressKey != 0) {
        ::SetFocus(command1);
        // Through the window's own message loop, as a key press comes; the job runs inside the
        // dispatch, so the loop below returns to waiting once it has ended.
        ::PostMessageW(command1, WM_KEYDOWN, VK_RETURN, pressKey);
        ::PostMessageW(command1, WM_KEYUP, VK_RETURN, pressKey | 0xC0000000);
    } else if (::IsWindowEnabled(command1)) {
        // Returns when the job has ended: the job runs inside the button's notification.
        ::SendMessageW(command1, BM_CLICK, 0, 0);
    }
    settle(window, kSettleMilliseconds);

    RECT client{};
    ::GetClientRect(window.handle(), &client);
    std::fprintf(report, "client %ldx%ld\n", client.right, client.bottom);
    std::fprintf(report, "dpi %u\n", window.dpi());
    std::fprintf(report, "outcome %s\n", outcomeName(window.core().lastOutcome()));
    std::fprintf(report, "caption %s\n", windowText(command1).c_str());
    std::fprintf(report, "percent %s\n",
                 windowText(window.control(MainWindow::kPerCentId)).c_str());
    if (atFirstTick != DrivenWindow::AtFirstTick::Nothing) {
        std::fprintf(report, "firsttick %s\n", window.percentAtFirstTick.c_str());
    }
    if (atFirstTick == DrivenWindow::AtFirstTick::Ask) {
        std::fprintf(report, "endsession %lld\n", static_cast<long long>(window.endSessionAnswer));
        std::fprintf(report, "open %d\n", ::IsWindow(window.handle()) ? 1 : 0);
    }
    for (const std::string& box : window.boxes) std::fprintf(report, "box %s\n", box.c_str());
    const std::string overflowing = overflowingCaptions(window.handle(), window.dpi());
    std::fprintf(report, "captions %s\n", overflowing.empty() ? "fit" : overflowing.c_str());
    const std::string shown = windowText(window.control(MainWindow::kStatusLogId));
    std::fprintf(report, "logbox %s\n", shown == window.logText() ? "same" : "differs");
    if (positional.size() == 3) {
        std::fprintf(report, "picture %s\n",
                     savePicture(window.handle(), positional[2]) ? "saved" : "failed");
    }
    // The log box's own text, as the user sees it.
    std::fputs("log\n", report);
    std::fwrite(shown.data(), 1, shown.size(), report);
    std::fclose(report);

    // Closing while idle asks nothing and ends the loop.
    ::PostMessageW(window.handle(), WM_CLOSE, 0, 0);
    window.run();
    return kExitDone;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    std::vector<std::wstring> arguments;
    int count = 0;
    if (wchar_t** list = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
        for (int i = 1; i < count; ++i) arguments.emplace_back(list[i]);
        ::LocalFree(list);
    }
    const int status = drive(instance, arguments);
    if (SUCCEEDED(com)) ::CoUninitialize();
    return status;
}
