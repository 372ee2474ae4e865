#pragma once

#include <string>

// The few path rules the process and location services need on Windows. Inside the program a
// path uses '/' (fileio's separator); the system takes '\\' and, past MAX_PATH, the "\\?\" form.
namespace quorvel::platform {

inline bool isSeparator(wchar_t c) {
    return c == L'/' || c == L'\\';
}

// "X:\..." or "X:/..." (a drive and its root) or "\\server\share..." (UNC, either separator).
// "X:name" and "\name" depend on a current drive or folder and are not absolute.
inline bool isAbsoluteWindowsPath(const std::wstring& path) {
    if (path.size() >= 3 && path[1] == L':' && isSeparator(path[2])) {
        const wchar_t drive = path[0];
        return (drive >= L'A' && drive <= L'Z') || (drive >= L'a' && drive <= L'z');
    }
    return path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1]);
}

inline std::wstring withBackslashes(std::wstring path) {
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

// A path the system gave back, in the program's form: no "\\?\" prefix ("\\?\UNC\server" becomes
// "//server"), '/' between names.
inline std::wstring inProgramForm(std::wstring path) {
    static const std::wstring kVerbatimUnc = L"\\\\?\\UNC\\";
    static const std::wstring kVerbatim = L"\\\\?\\";
    if (path.compare(0, kVerbatimUnc.size(), kVerbatimUnc) == 0) {
        path = L"\\\\" + path.substr(kVerbatimUnc.size());
    } else if (path.compare(0, kVerbatim.size(), kVerbatim) == 0) {
        path = path.substr(kVerbatim.size());
    }
    for (wchar_t& c : path) {
        if (c == L'\\') c = L'/';
    }
    return path;
}

// A full path (no "." or ".." left: the "\\?\" form resolves none) in the "\\?\" form the wide
// calls take past MAX_PATH characters; returned as it is when it already has that form or is not
// absolute.
inline std::wstring verbatimForm(const std::wstring& path) {
    if (!isAbsoluteWindowsPath(path) || path.compare(0, 4, L"\\\\?\\") == 0) return path;
    const std::wstring native = withBackslashes(path);
    if (native.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + native.substr(2);
    return L"\\\\?\\" + native;
}

}  // namespace quorvel::platform
