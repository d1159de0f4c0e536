// The PC/SC seam: every SCard* call of the card libraries goes through one
// table, so that tests can inject results that a real service cannot give on
// demand and count the calls. It also hides the differences between winscard
// and pcsc-lite: result codes come back as signed 32-bit values, lengths as
// 32-bit unsigned, and reader-state records are the platform's own.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#include <winscard.h>
#else
#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>
#endif

namespace platform {

using pcsc_context = SCARDCONTEXT;
using pcsc_handle = SCARDHANDLE;
#ifdef _WIN32
using pcsc_reader_state = SCARD_READERSTATEA;
#else
using pcsc_reader_state = SCARD_READERSTATE;
#endif

// A PC/SC result as the card libraries report it: 0x80100009 is a negative
// 32-bit integer on every platform (pcsc-lite's LONG is 64 bits wide).
using pcsc_code = std::int32_t;

constexpr pcsc_code to_pcsc_code(long long rv) {
    return static_cast<pcsc_code>(static_cast<std::uint32_t>(rv));
}

namespace pcsc_rc {
constexpr pcsc_code success = 0;
constexpr pcsc_code cancelled = to_pcsc_code(0x80100002);
constexpr pcsc_code insufficient_buffer = to_pcsc_code(0x80100008);
constexpr pcsc_code unknown_reader = to_pcsc_code(0x80100009);
constexpr pcsc_code timeout = to_pcsc_code(0x8010000A);
constexpr pcsc_code no_smartcard = to_pcsc_code(0x8010000C);
constexpr pcsc_code reader_unavailable = to_pcsc_code(0x80100017);
constexpr pcsc_code system_cancelled = to_pcsc_code(0x80100012);
constexpr pcsc_code no_service = to_pcsc_code(0x8010001D);
constexpr pcsc_code service_stopped = to_pcsc_code(0x8010001E);
constexpr pcsc_code no_readers = to_pcsc_code(0x8010002E);
constexpr pcsc_code reset_card = to_pcsc_code(0x80100068);
constexpr pcsc_code removed_card = to_pcsc_code(0x80100069);
}  // namespace pcsc_rc

// The PnP pseudo-reader that reports readers coming and going. pcsc-lite
// only knows it spelled exactly this way.
extern const char* const pnp_notification_reader;

// The calls the libraries make. The system's own table forwards to the
// platform; a test derives from it and overrides what it wants to script.
class pcsc_api {
public:
    virtual ~pcsc_api() = default;

    // SCardEstablishContext with SCARD_SCOPE_SYSTEM.
    virtual pcsc_code establish_context(pcsc_context* context);
    virtual pcsc_code release_context(pcsc_context context);
    // SCardListReaders over all groups: a null buffer asks for the size;
    // *length is the capacity in and the multi-string's length out.
    virtual pcsc_code list_readers(pcsc_context context, char* buffer, std::uint32_t* length);
    virtual pcsc_code connect(pcsc_context context, const char* reader, std::uint32_t share_mode,
                              std::uint32_t protocols, pcsc_handle* card, std::uint32_t* active_protocol);
    virtual pcsc_code reconnect(pcsc_handle card, std::uint32_t share_mode, std::uint32_t protocols,
                                std::uint32_t initialization, std::uint32_t* active_protocol);
    virtual pcsc_code disconnect(pcsc_handle card, std::uint32_t disposition);
    // SCardTransmit with the T=1 protocol control information and no
    // receive PCI; *reply_length is the capacity in and the length out.
    virtual pcsc_code transmit_t1(pcsc_handle card, const std::uint8_t* command, std::uint32_t length,
                                  std::uint8_t* reply, std::uint32_t* reply_length);
    virtual pcsc_code begin_transaction(pcsc_handle card);
    virtual pcsc_code end_transaction(pcsc_handle card, std::uint32_t disposition);
    virtual pcsc_code get_status_change(pcsc_context context, std::uint32_t timeout_ms,
                                        pcsc_reader_state* states, std::uint32_t count);
    virtual pcsc_code cancel(pcsc_context context);
};

// The table in force.
pcsc_api& pcsc();
// The platform's own table.
pcsc_api& system_pcsc();
// Puts a table in force; nullptr brings back the system's. The caller keeps
// the object alive while it is in force.
void set_pcsc(pcsc_api* api);

// Pauses between retries; tests replace it to run retry loops fast.
using sleep_hook = void (*)(std::uint32_t milliseconds);
void sleep_ms(std::uint32_t milliseconds);
void set_sleep_hook(sleep_hook hook);

}  // namespace platform
