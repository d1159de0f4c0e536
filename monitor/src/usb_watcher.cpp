#include "usb_watcher.h"

#include <dbt.h>

#include <cstddef>
#include <string>

#include "app_names.h"
#include "test_switch.h"
#include "token_lists.h"
#include "win_text.h"

namespace mon {

namespace {
const GUID kUsbDevice = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
}  // namespace

LRESULT CALLBACK usb_window_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(l);
        SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    auto* self = reinterpret_cast<usb_watcher*>(GetWindowLongPtrW(h, GWLP_USERDATA));
    if (m == WM_DEVICECHANGE && self) {
        // A failing handler must not unwind through the system.
        try {
            return self->device_change(w, l);
        } catch (...) {
            test_switch::log("usb event failed");
            return TRUE;
        }
    }
    return DefWindowProcW(h, m, w, l);
}

usb_watcher::usb_watcher() {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = usb_window_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = names::usb_window_class;
    RegisterClassW(&wc);
    window_ = CreateWindowExW(WS_EX_TOOLWINDOW, names::usb_window_class, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                              wc.hInstance, this);
    if (!window_) return;
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = 32;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kUsbDevice;
    notify_ = RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

usb_watcher::~usb_watcher() {
    if (notify_) UnregisterDeviceNotification(notify_);
    if (window_) {
        SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
        DestroyWindow(window_);
    }
}

LRESULT usb_watcher::device_change(WPARAM w, LPARAM l) {
    if ((w != DBT_DEVICEARRIVAL && w != DBT_DEVICEREMOVECOMPLETE) || !l) return TRUE;
    auto* hdr = reinterpret_cast<const DEV_BROADCAST_HDR*>(l);
    if (hdr->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return TRUE;
    auto* d = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(l);
    // The name runs to the record's end at most, NUL or not.
    size_t head = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    size_t chars = d->dbcc_size > head ? (d->dbcc_size - head) / sizeof(wchar_t) : 0;
    std::wstring path(d->dbcc_name, wcsnlen(d->dbcc_name, chars));
    last_product_id_ = product_id_of(from_wide(path));
    bool arrival = w == DBT_DEVICEARRIVAL;
    test_switch::logf("usb %s pid=0x%04x path=%s", arrival ? "arrival" : "removal",
                      static_cast<unsigned>(last_product_id_), test_switch::utf8(path).c_str());
    if (arrival && on_device_arrival) on_device_arrival(*this);
    if (!arrival && on_device_removal) on_device_removal(*this);
    return TRUE;
}

}  // namespace mon
