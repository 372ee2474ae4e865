// quorvel.exe: the conversion in its window. A folder given on the command line (which is what
// Explorer passes for a folder dropped on the program) is preselected as the source.

#include <objbase.h>
#include <shellapi.h>
#include <windows.h>

#include "app/win32/MainWindow.h"
#include "app/win32/WindowText.h"
#include "platform/ProgramLocation.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    // The folder dialog is a COM object of the shell's; it wants a single-threaded apartment.
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);

    int status = 1;
    {
        quorvel::win32::MainWindow window;
        // Without the analyser the user has been told; the window is never shown.
        if (window.create(instance) && window.Form_Load(quorvel::platform::programFolder())) {
            ::ShowWindow(window.handle(), show);
            ::UpdateWindow(window.handle());
            int count = 0;
            if (wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
                if (count > 1) window.preselect(quorvel::win32::toUtf8(arguments[1]));
                ::LocalFree(arguments);
            }
            status = window.run();
        }
    }
    if (SUCCEEDED(com)) ::CoUninitialize();
    return status;
}
