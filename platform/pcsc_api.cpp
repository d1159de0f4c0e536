#include "pcsc_api.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace platform {

// winscard also accepts other spellings; this one serves both platforms.
const char* const pnp_notification_reader = "\\\\?PnP?\\Notification";

#ifdef _WIN32
#define SOLVANTA_SCARD(name) name##A
#else
#define SOLVANTA_SCARD(name) name
#endif

namespace {

std::atomic<pcsc_api*> current{nullptr};
std::atomic<sleep_hook> current_sleep{nullptr};

}  // namespace

pcsc_code pcsc_api::establish_context(pcsc_context* context) {
    if (context == nullptr) return to_pcsc_code(SCARD_E_INVALID_PARAMETER);
    return to_pcsc_code(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, context));
}

pcsc_code pcsc_api::release_context(pcsc_context context) {
    return to_pcsc_code(SCardReleaseContext(context));
}

pcsc_code pcsc_api::list_readers(pcsc_context context, char* buffer, std::uint32_t* length) {
    if (length == nullptr) return to_pcsc_code(SCARD_E_INVALID_PARAMETER);
    DWORD len = *length;
    const LONG rv = SOLVANTA_SCARD(SCardListReaders)(context, nullptr, buffer, &len);
    *length = static_cast<std::uint32_t>(len);
    return to_pcsc_code(rv);
}

pcsc_code pcsc_api::connect(pcsc_context context, const char* reader, std::uint32_t share_mode,
                            std::uint32_t protocols, pcsc_handle* card, std::uint32_t* active_protocol) {
    if (reader == nullptr || card == nullptr) return to_pcsc_code(SCARD_E_INVALID_PARAMETER);
    DWORD active = 0;
    const LONG rv = SOLVANTA_SCARD(SCardConnect)(context, reader, share_mode, protocols, card, &active);
    if (active_protocol != nullptr) *active_protocol = static_cast<std::uint32_t>(active);
    return to_pcsc_code(rv);
}

pcsc_code pcsc_api::reconnect(pcsc_handle card, std::uint32_t share_mode, std::uint32_t protocols,
                              std::uint32_t initialization, std::uint32_t* active_protocol) {
    DWORD active = 0;
    const LONG rv = SCardReconnect(card, share_mode, protocols, initialization, &active);
    if (active_protocol != nullptr) *active_protocol = static_cast<std::uint32_t>(active);
    return to_pcsc_code(rv);
}

pcsc_code pcsc_api::disconnect(pcsc_handle card, std::uint32_t disposition) {
    return to_pcsc_code(SCardDisconnect(card, disposition));
}

pcsc_code pcsc_api::transmit_t1(pcsc_handle card, const std::uint8_t* command, std::uint32_t length,
                                std::uint8_t* reply, std::uint32_t* reply_length) {
    if (command == nullptr || reply == nullptr || reply_length == nullptr)
        return to_pcsc_code(SCARD_E_INVALID_PARAMETER);
    DWORD len = *reply_length;
    const LONG rv = SCardTransmit(card, SCARD_PCI_T1, command, length, nullptr, reply, &len);
    *reply_length = static_cast<std::uint32_t>(len);
    return to_pcsc_code(rv);
}

pcsc_code pcsc_api::begin_transaction(pcsc_handle card) {
    return to_pcsc_code(SCardBeginTransaction(card));
}

pcsc_code pcsc_api::end_transaction(pcsc_handle card, std::uint32_t disposition) {
    return to_pcsc_code(SCardEndTransaction(card, disposition));
}

pcsc_code pcsc_api::get_status_change(pcsc_context context, std::uint32_t timeout_ms,
                                      pcsc_reader_state* states, std::uint32_t count) {
    return to_pcsc_code(SOLVANTA_SCARD(SCardGetStatusChange)(context, timeout_ms, states, count));
}

pcsc_code pcsc_api::cancel(pcsc_context context) {
    return to_pcsc_code(SCardCancel(context));
}

pcsc_api& system_pcsc() {
    static pcsc_api api;
    return api;
}

pcsc_api& pcsc() {
    pcsc_api* api = current.load(std::memory_order_acquire);
    return api != nullptr ? *api : system_pcsc();
}

void set_pcsc(pcsc_api* api) {
    current.store(api, std::memory_order_release);
}

void sleep_ms(std::uint32_t milliseconds) {
    sleep_hook hook = current_sleep.load(std::memory_order_acquire);
    if (hook != nullptr) {
        hook(milliseconds);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void set_sleep_hook(sleep_hook hook) {
    current_sleep.store(hook, std::memory_order_release);
}

}  // namespace platform
