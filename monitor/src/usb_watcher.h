// Arrival and removal of USB device interfaces, with the product id of the
// device path.
#ifndef SOLVANTEX_MON_USB_WATCHER_H
#define SOLVANTEX_MON_USB_WATCHER_H

#include <windows.h>

#include <cstdint>
#include <functional>

namespace mon {

class usb_watcher {
  public:
    usb_watcher();
    ~usb_watcher();
    usb_watcher(const usb_watcher&) = delete;
    usb_watcher& operator=(const usb_watcher&) = delete;

    std::function<void(usb_watcher&)> on_device_arrival;
    std::function<void(usb_watcher&)> on_device_removal;
    std::uint32_t last_product_id() const { return last_product_id_; }
    HWND window() const { return window_; }

  private:
    friend LRESULT CALLBACK usb_window_proc(HWND, UINT, WPARAM, LPARAM);
    LRESULT device_change(WPARAM w, LPARAM l);
    HWND window_ = nullptr;
    HDEVNOTIFY notify_ = nullptr;
    std::uint32_t last_product_id_ = 0;
};

}  // namespace mon

#endif
