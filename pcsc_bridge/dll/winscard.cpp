// The stand-in winscard.dll: the SCard* functions that the project's Windows
// code calls, with winscard's types and conventions, each answered by the
// native bridge process (see PROTOCOL.md). Context and card handles are the
// bridge's ids.
#include <winsock2.h>
#include <windows.h>
// We define the protocol control blocks: they are not imported here.
#define WINSCARDDATA
#include <winscard.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "client.h"

using pcsc_bridge::bridge_call;
using pcsc_bridge::op;
namespace rc = pcsc_bridge::rc;

extern "C" {
const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};
}

namespace {

// winscard's only spelling that pcsc-lite knows; winscard compares it
// without regard to case.
const char pnp_reader[] = "\\\\?PnP?\\Notification";

LONG code(std::uint32_t rv) { return static_cast<LONG>(rv); }

// Runs an export's body; no exception leaves the DLL.
template <typename F>
LONG guarded(F&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return code(rc::no_memory);
    } catch (...) {
        return code(rc::internal_error);
    }
}

// Handles are the bridge's 32-bit ids; anything wider was never ours.
bool to_id(ULONG_PTR handle, std::uint32_t* id) {
    if (handle > 0xFFFFFFFFu) return false;
    *id = static_cast<std::uint32_t>(handle);
    return true;
}

bool equal_ignoring_case(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return *a == *b;
}

std::string utf8_of(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}

std::wstring wide_of(const std::uint8_t* text, std::size_t length) {
    if (length == 0) return std::wstring();
    const char* p = reinterpret_cast<const char*>(text);
    const int n = MultiByteToWideChar(CP_UTF8, 0, p, static_cast<int>(length), nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, p, static_cast<int>(length), &out[0], n);
    return out;
}

// Gives `count` elements to a caller with winscard's buffer conventions:
// a null buffer asks for the length; a length of SCARD_AUTOALLOCATE makes us
// allocate (the caller frees with SCardFreeMemory) and store the pointer in
// the buffer argument; otherwise the buffer must be large enough.
template <typename T>
LONG hand_out(const T* data, std::size_t count, void* buffer, LPDWORD length) {
    if (length == nullptr) return SCARD_E_INVALID_PARAMETER;
    const DWORD n = static_cast<DWORD>(count);
    if (buffer == nullptr) {
        *length = n;
        return SCARD_S_SUCCESS;
    }
    if (*length == SCARD_AUTOALLOCATE) {
        void* block = HeapAlloc(GetProcessHeap(), 0, count * sizeof(T) + 1);
        if (block == nullptr) return SCARD_E_NO_MEMORY;
        if (count != 0) std::memcpy(block, data, count * sizeof(T));
        *static_cast<void**>(buffer) = block;
        *length = n;
        return SCARD_S_SUCCESS;
    }
    if (*length < n) {
        *length = n;
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    if (count != 0) std::memcpy(buffer, data, count * sizeof(T));
    *length = n;
    return SCARD_S_SUCCESS;
}

// The reader multi-string from the bridge.
std::uint32_t fetch_readers(SCARDCONTEXT context, std::vector<std::uint8_t>* readers) {
    std::uint32_t id = 0;
    if (!to_id(context, &id)) return rc::invalid_handle;
    bridge_call call(op::list_readers);
    call.args().u32(id);
    call.run();
    *readers = call.reply().bytes(pcsc_bridge::max_reader_list);
    const std::uint32_t rv = call.result();
    if (rv == rc::success && (readers->size() < 2 || readers->back() != 0)) return rc::internal_error;
    return rv;
}

std::uint32_t simple_call(op operation, ULONG_PTR handle, const DWORD* second = nullptr) {
    std::uint32_t id = 0;
    if (!to_id(handle, &id)) return rc::invalid_handle;
    bridge_call call(operation);
    call.args().u32(id);
    if (second != nullptr) call.args().u32(*second);
    call.run();
    return call.result();
}

template <typename State, typename Name>
LONG get_status_change(SCARDCONTEXT context, DWORD timeout, State* states, DWORD count, Name name_of) {
    std::uint32_t id = 0;
    if (!to_id(context, &id)) return SCARD_E_INVALID_HANDLE;
    if (count > pcsc_bridge::max_reader_states || (states == nullptr && count > 0))
        return SCARD_E_INVALID_PARAMETER;
    bridge_call call(op::get_status_change);
    call.args().u32(id).u32(timeout).u32(count);
    for (DWORD i = 0; i < count; ++i) {
        if (states[i].szReader == nullptr) return SCARD_E_INVALID_PARAMETER;
        std::string name = name_of(states[i].szReader);
        if (equal_ignoring_case(name.c_str(), pnp_reader)) name = pnp_reader;
        if (name.size() > pcsc_bridge::max_name) return SCARD_E_INVALID_PARAMETER;
        call.args().str(name).u32(states[i].dwCurrentState);
    }
    const std::uint32_t transport = call.run();
    auto& in = call.reply();
    const std::uint32_t returned = in.u32();
    if (!in.ok() || returned != count) return code(transport != rc::success ? transport : rc::internal_error);
    for (DWORD i = 0; i < count; ++i) {
        const std::uint32_t event = in.u32();
        const std::vector<std::uint8_t> atr = in.bytes(sizeof states[i].rgbAtr);
        if (!in.ok()) break;
        states[i].dwEventState = event;
        states[i].cbAtr = static_cast<DWORD>(atr.size());
        std::memset(states[i].rgbAtr, 0, sizeof states[i].rgbAtr);
        if (!atr.empty()) std::memcpy(states[i].rgbAtr, atr.data(), atr.size());
    }
    return code(call.result());
}

template <typename Name>
LONG connect(SCARDCONTEXT context, const Name& reader, DWORD share_mode, DWORD protocols, LPSCARDHANDLE card,
             LPDWORD active_protocol) {
    std::uint32_t id = 0;
    if (!to_id(context, &id)) return SCARD_E_INVALID_HANDLE;
    if (reader.size() > pcsc_bridge::max_name) return SCARD_E_UNKNOWN_READER;
    bridge_call call(op::connect);
    call.args().u32(id).str(reader).u32(share_mode).u32(protocols);
    call.run();
    const std::uint32_t handle = call.reply().u32();
    const std::uint32_t active = call.reply().u32();
    const std::uint32_t rv = call.result();
    if (rv == rc::success) {
        *card = handle;
        *active_protocol = active;
    }
    return code(rv);
}

}  // namespace

LONG WINAPI SCardEstablishContext(DWORD dwScope, LPCVOID, LPCVOID, LPSCARDCONTEXT phContext) {
    return guarded([&]() -> LONG {
        if (phContext == nullptr) return SCARD_E_INVALID_PARAMETER;
        bridge_call call(op::establish_context);
        call.args().u32(dwScope);
        call.run();
        const std::uint32_t context = call.reply().u32();
        const std::uint32_t rv = call.result();
        if (rv == rc::success) *phContext = context;
        return code(rv);
    });
}

LONG WINAPI SCardReleaseContext(SCARDCONTEXT hContext) {
    return guarded([&] { return code(simple_call(op::release_context, hContext)); });
}

LONG WINAPI SCardIsValidContext(SCARDCONTEXT hContext) {
    return guarded([&] { return code(simple_call(op::is_valid_context, hContext)); });
}

LONG WINAPI SCardListReadersA(SCARDCONTEXT hContext, LPCSTR, LPSTR mszReaders, LPDWORD pcchReaders) {
    return guarded([&]() -> LONG {
        if (pcchReaders == nullptr) return SCARD_E_INVALID_PARAMETER;
        std::vector<std::uint8_t> readers;
        const std::uint32_t rv = fetch_readers(hContext, &readers);
        if (rv != rc::success) return code(rv);
        return hand_out(reinterpret_cast<const char*>(readers.data()), readers.size(), mszReaders, pcchReaders);
    });
}

LONG WINAPI SCardListReadersW(SCARDCONTEXT hContext, LPCWSTR, LPWSTR mszReaders, LPDWORD pcchReaders) {
    return guarded([&]() -> LONG {
        if (pcchReaders == nullptr) return SCARD_E_INVALID_PARAMETER;
        std::vector<std::uint8_t> readers;
        const std::uint32_t rv = fetch_readers(hContext, &readers);
        if (rv != rc::success) return code(rv);
        const std::wstring wide = wide_of(readers.data(), readers.size());
        if (wide.empty()) return SCARD_F_INTERNAL_ERROR;
        return hand_out(wide.data(), wide.size(), mszReaders, pcchReaders);
    });
}

// The service keeps no card database: no card type is known for any ATR,
// and the answer is the empty multi-string.
LONG WINAPI SCardListCardsA(SCARDCONTEXT, LPCBYTE, LPCGUID, DWORD, LPSTR mszCards, LPDWORD pcchCards) {
    return guarded([&]() -> LONG {
        static const char none[2] = {'\0', '\0'};
        return hand_out(none, sizeof none, mszCards, pcchCards);
    });
}

LONG WINAPI SCardFreeMemory(SCARDCONTEXT, LPCVOID pvMem) {
    if (pvMem != nullptr) HeapFree(GetProcessHeap(), 0, const_cast<LPVOID>(pvMem));
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardConnectA(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode, DWORD dwPreferredProtocols,
                          LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol) {
    return guarded([&]() -> LONG {
        if (szReader == nullptr || phCard == nullptr || pdwActiveProtocol == nullptr)
            return SCARD_E_INVALID_PARAMETER;
        return connect(hContext, std::string(szReader), dwShareMode, dwPreferredProtocols, phCard,
                       pdwActiveProtocol);
    });
}

LONG WINAPI SCardConnectW(SCARDCONTEXT hContext, LPCWSTR szReader, DWORD dwShareMode, DWORD dwPreferredProtocols,
                          LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol) {
    return guarded([&]() -> LONG {
        if (szReader == nullptr || phCard == nullptr || pdwActiveProtocol == nullptr)
            return SCARD_E_INVALID_PARAMETER;
        return connect(hContext, utf8_of(szReader), dwShareMode, dwPreferredProtocols, phCard, pdwActiveProtocol);
    });
}

LONG WINAPI SCardReconnect(SCARDHANDLE hCard, DWORD dwShareMode, DWORD dwPreferredProtocols, DWORD dwInitialization,
                           LPDWORD pdwActiveProtocol) {
    return guarded([&]() -> LONG {
        std::uint32_t id = 0;
        if (!to_id(hCard, &id)) return SCARD_E_INVALID_HANDLE;
        bridge_call call(op::reconnect);
        call.args().u32(id).u32(dwShareMode).u32(dwPreferredProtocols).u32(dwInitialization);
        call.run();
        const std::uint32_t active = call.reply().u32();
        const std::uint32_t rv = call.result();
        if (rv == rc::success && pdwActiveProtocol != nullptr) *pdwActiveProtocol = active;
        return code(rv);
    });
}

LONG WINAPI SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition) {
    return guarded([&] { return code(simple_call(op::disconnect, hCard, &dwDisposition)); });
}

LONG WINAPI SCardBeginTransaction(SCARDHANDLE hCard) {
    return guarded([&] { return code(simple_call(op::begin_transaction, hCard)); });
}

LONG WINAPI SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition) {
    return guarded([&] { return code(simple_call(op::end_transaction, hCard, &dwDisposition)); });
}

LONG WINAPI SCardTransmit(SCARDHANDLE hCard, LPCSCARD_IO_REQUEST pioSendPci, LPCBYTE pbSendBuffer,
                          DWORD cbSendLength, LPSCARD_IO_REQUEST pioRecvPci, LPBYTE pbRecvBuffer,
                          LPDWORD pcbRecvLength) {
    return guarded([&]() -> LONG {
        std::uint32_t id = 0;
        if (!to_id(hCard, &id)) return SCARD_E_INVALID_HANDLE;
        if (pioSendPci == nullptr || (pbSendBuffer == nullptr && cbSendLength > 0) || pbRecvBuffer == nullptr ||
            pcbRecvLength == nullptr || cbSendLength > pcsc_bridge::max_apdu)
            return SCARD_E_INVALID_PARAMETER;
        const DWORD capacity = *pcbRecvLength;
        bridge_call call(op::transmit);
        call.args().u32(id).u32(pioSendPci->dwProtocol).u32(capacity).bytes(pbSendBuffer, cbSendLength);
        call.run();
        const std::uint32_t protocol = call.reply().u32();
        const std::vector<std::uint8_t> reply = call.reply().bytes(pcsc_bridge::max_apdu);
        std::uint32_t rv = call.result();
        if (rv == rc::success && reply.size() > capacity) rv = rc::internal_error;
        if (rv == rc::success) {
            if (!reply.empty()) std::memcpy(pbRecvBuffer, reply.data(), reply.size());
            *pcbRecvLength = static_cast<DWORD>(reply.size());
            if (pioRecvPci != nullptr) pioRecvPci->dwProtocol = protocol;
        }
        return code(rv);
    });
}

LONG WINAPI SCardStatusA(SCARDHANDLE hCard, LPSTR szReaderName, LPDWORD pcchReaderLen, LPDWORD pdwState,
                         LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen) {
    return guarded([&]() -> LONG {
        std::uint32_t id = 0;
        if (!to_id(hCard, &id)) return SCARD_E_INVALID_HANDLE;
        if ((szReaderName != nullptr && pcchReaderLen == nullptr) || (pbAtr != nullptr && pcbAtrLen == nullptr))
            return SCARD_E_INVALID_PARAMETER;
        bridge_call call(op::status);
        call.args().u32(id);
        call.run();
        auto& in = call.reply();
        std::string names = in.str(pcsc_bridge::max_name);
        const std::uint32_t state = in.u32();
        const std::uint32_t protocol = in.u32();
        const std::vector<std::uint8_t> atr = in.bytes(pcsc_bridge::max_atr);
        const std::uint32_t rv = call.result();
        if (rv != rc::success) return code(rv);
        if (pdwState != nullptr) *pdwState = state;
        if (pdwProtocol != nullptr) *pdwProtocol = protocol;
        // winscard gives the reader's names as a multi-string.
        names.push_back('\0');
        names.push_back('\0');
        LONG result = SCARD_S_SUCCESS;
        if (pcchReaderLen != nullptr) result = hand_out(names.data(), names.size(), szReaderName, pcchReaderLen);
        if (pcbAtrLen != nullptr) {
            const LONG atr_result = hand_out(atr.data(), atr.size(), pbAtr, pcbAtrLen);
            if (result == SCARD_S_SUCCESS) result = atr_result;
        }
        return result;
    });
}

LONG WINAPI SCardGetStatusChangeA(SCARDCONTEXT hContext, DWORD dwTimeout, LPSCARD_READERSTATEA rgReaderStates,
                                  DWORD cReaders) {
    return guarded([&] {
        return get_status_change(hContext, dwTimeout, rgReaderStates, cReaders,
                                 [](const char* name) { return std::string(name); });
    });
}

LONG WINAPI SCardGetStatusChangeW(SCARDCONTEXT hContext, DWORD dwTimeout, LPSCARD_READERSTATEW rgReaderStates,
                                  DWORD cReaders) {
    return guarded([&] {
        return get_status_change(hContext, dwTimeout, rgReaderStates, cReaders,
                                 [](const wchar_t* name) { return utf8_of(name); });
    });
}

LONG WINAPI SCardCancel(SCARDCONTEXT hContext) {
    return guarded([&] { return code(simple_call(op::cancel, hContext)); });
}
