// The store tests' second process.
//
//   mgr_store_helper keyprov FILE CONTAINER PROVIDER SPEC
//       0 when the MY entry of the DER certificate FILE carries this
//       key-provider property (PROV_RSA_FULL, flags 0, no parameters);
//       1 when it carries another; 2 without one; 3 no entry
//   mgr_store_helper count FILE      exit status: how many MY entries hold it
//   mgr_store_helper viewer ok|close BMP
//       waits (bounded) for the certificate viewer, keeps a picture of it in
//       BMP, then presses OK or closes it; 0 when it was found
#include "store_support.h"

#include <cstring>
#include <string>

namespace {

std::wstring wide(const char* text) {
    std::wstring out;
    for (; *text; ++text) out += static_cast<wchar_t>(static_cast<unsigned char>(*text));
    return out;
}

int key_prov_check(char** argv) {
    const store_test::key_prov k = store_test::key_prov_in_my(store_test::read_bytes(argv[2]));
    std::printf("helper: found=%d prop=%d container=%ls provider=%ls spec=%lu\n", k.found, k.has_prop,
                k.container.c_str(), k.provider.c_str(), k.spec);
    if (!k.found) return 3;
    if (!k.has_prop) return 2;
    const bool same = k.container == wide(argv[3]) && k.provider == wide(argv[4]) &&
                      k.spec == std::stoul(argv[5]) && k.type == PROV_RSA_FULL && k.flags == 0 && k.params == 0;
    return same ? 0 : 1;
}

struct viewer_search {
    HWND found = nullptr;
};

BOOL CALLBACK find_viewer(HWND hwnd, LPARAM lparam) {
    wchar_t title[256] = {};
    GetWindowTextW(hwnd, title, 256);
    if (IsWindowVisible(hwnd) && std::wstring(title).find(L"Certificate") != std::wstring::npos) {
        reinterpret_cast<viewer_search*>(lparam)->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

bool save_bmp(HWND hwnd, const std::string& path) {
    RECT r;
    if (!GetWindowRect(hwnd, &r)) return false;
    const int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(dc, bmp);
    // Copied from the screen: a window of another process does not print
    // into this one's device context.
    SetForegroundWindow(hwnd);
    const bool printed = BitBlt(dc, 0, 0, w, h, screen, r.left, r.top, SRCCOPY) != 0;
    GdiFlush();
    const DWORD stride = ((static_cast<DWORD>(w) * 3 + 3) & ~3u);
    BITMAPFILEHEADER fh{};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
    fh.bfSize = fh.bfOffBits + stride * static_cast<DWORD>(h);
    bool ok = false;
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        ok = std::fwrite(&fh, sizeof fh, 1, f) == 1 && std::fwrite(&bi.bmiHeader, sizeof bi.bmiHeader, 1, f) == 1 &&
             std::fwrite(bits, stride, static_cast<size_t>(h), f) == static_cast<size_t>(h);
        ok = std::fclose(f) == 0 && ok;
    }
    // A picture of one colour shows nothing.
    const auto* px = static_cast<const unsigned char*>(bits);
    bool varied = false;
    for (int y = 0; y < h && !varied; ++y)
        for (int x = 0; x < w && !varied; ++x)
            varied = std::memcmp(px + y * stride + x * 3, px, 3) != 0;
    ok = ok && varied;
    SelectObject(dc, old);
    DeleteObject(bmp);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    return printed && ok;
}

int viewer(const std::string& how, const std::string& bmp) {
    viewer_search search;
    // Polled until it shows, within a bound (the viewer's process may start
    // slowly under emulation).
    const ULONGLONG give_up = GetTickCount64() + 240000;
    while (!search.found && GetTickCount64() < give_up) {
        EnumWindows(find_viewer, reinterpret_cast<LPARAM>(&search));
        if (!search.found) MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
    if (!search.found) {
        std::printf("helper: no viewer window\n");
        return 1;
    }
    // Let it paint before the picture is taken: wait until it answers.
    DWORD_PTR answer = 0;
    SendMessageTimeoutW(search.found, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &answer);
    RedrawWindow(search.found, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    SendMessageTimeoutW(search.found, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &answer);
    const bool saved = save_bmp(search.found, bmp);
    std::printf("helper: viewer found, picture %s\n", saved ? "kept" : "failed");
    if (!saved) return 2;
    if (how == "ok") {
        HWND ok = GetDlgItem(search.found, IDOK);
        if (ok)
            PostMessageW(ok, BM_CLICK, 0, 0);
        else
            PostMessageW(search.found, WM_COMMAND, IDOK, 0);
    } else {
        PostMessageW(search.found, WM_CLOSE, 0, 0);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "keyprov" && argc == 6) return key_prov_check(argv);
    if (mode == "count" && argc == 3) return store_test::count_in_my(store_test::read_bytes(argv[2]));
    if (mode == "viewer" && argc == 4) return viewer(argv[2], argv[3]);
    std::fprintf(stderr, "usage: mgr_store_helper keyprov FILE CONTAINER PROVIDER SPEC | count FILE | "
                         "viewer ok|close BMP\n");
    return 100;
}
