#include "pcsclite_backend.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <algorithm>
#include <cstring>

#include "convert.h"
#include "wire/wire.h"

namespace pcsc_bridge {

namespace {

// pcsc-lite's LONG is 64 bits wide; winscard's codes are the low 32 bits.
std::uint32_t code(LONG rv) { return static_cast<std::uint32_t>(rv); }

SCARDCONTEXT as_context(service_value v) { return static_cast<SCARDCONTEXT>(v); }
SCARDHANDLE as_card(service_value v) { return static_cast<SCARDHANDLE>(v); }

}  // namespace

std::uint32_t pcsclite_backend::establish_context(std::uint32_t scope, service_value* context) {
    SCARDCONTEXT ctx = 0;
    const LONG rv = SCardEstablishContext(scope, nullptr, nullptr, &ctx);
    *context = static_cast<service_value>(ctx);
    return code(rv);
}

std::uint32_t pcsclite_backend::release_context(service_value context) {
    return code(SCardReleaseContext(as_context(context)));
}

std::uint32_t pcsclite_backend::is_valid_context(service_value context) {
    return code(SCardIsValidContext(as_context(context)));
}

std::uint32_t pcsclite_backend::list_readers(service_value context, std::vector<std::uint8_t>* readers) {
    readers->clear();
    char* list = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    const LONG rv = SCardListReaders(as_context(context), nullptr, reinterpret_cast<char*>(&list), &length);
    if (rv != SCARD_S_SUCCESS) return code(rv);
    if (list != nullptr && length > 0 && length <= max_reader_list) {
        readers->assign(list, list + length);
    }
    if (list != nullptr) SCardFreeMemory(as_context(context), list);
    return readers->empty() ? rc::no_memory : rc::success;
}

std::uint32_t pcsclite_backend::connect(service_value context, const std::string& reader, std::uint32_t share_mode,
                                        std::uint32_t protocols, service_value* card,
                                        std::uint32_t* active_protocol) {
    SCARDHANDLE h = 0;
    DWORD active = 0;
    const LONG rv = SCardConnect(as_context(context), reader.c_str(), share_mode, protocols_to_lite(protocols), &h,
                                 &active);
    *card = static_cast<service_value>(h);
    *active_protocol = protocols_from_lite(active);
    return code(rv);
}

std::uint32_t pcsclite_backend::reconnect(service_value card, std::uint32_t share_mode, std::uint32_t protocols,
                                          std::uint32_t initialization, std::uint32_t* active_protocol) {
    DWORD active = 0;
    const LONG rv = SCardReconnect(as_card(card), share_mode, protocols_to_lite(protocols), initialization, &active);
    *active_protocol = protocols_from_lite(active);
    return code(rv);
}

std::uint32_t pcsclite_backend::disconnect(service_value card, std::uint32_t disposition) {
    return code(SCardDisconnect(as_card(card), disposition));
}

std::uint32_t pcsclite_backend::begin_transaction(service_value card) {
    return code(SCardBeginTransaction(as_card(card)));
}

std::uint32_t pcsclite_backend::end_transaction(service_value card, std::uint32_t disposition) {
    return code(SCardEndTransaction(as_card(card), disposition));
}

std::uint32_t pcsclite_backend::transmit(service_value card, std::uint32_t protocol,
                                         const std::vector<std::uint8_t>& command, std::uint32_t capacity,
                                         std::vector<std::uint8_t>* reply, std::uint32_t* reply_protocol) {
    SCARD_IO_REQUEST send_pci;
    send_pci.dwProtocol = protocols_to_lite(protocol);
    send_pci.cbPciLength = sizeof send_pci;
    SCARD_IO_REQUEST recv_pci = send_pci;
    reply->assign(std::min(capacity, max_apdu), 0);
    DWORD length = static_cast<DWORD>(reply->size());
    // pcsc-lite wants a buffer even for an empty command or reply.
    std::uint8_t none = 0;
    const LONG rv = SCardTransmit(as_card(card), &send_pci, command.empty() ? &none : command.data(),
                                  command.size(), &recv_pci, reply->empty() ? &none : reply->data(), &length);
    if (rv == SCARD_S_SUCCESS && length <= reply->size()) {
        reply->resize(length);
    } else {
        reply->clear();
    }
    *reply_protocol = protocols_from_lite(recv_pci.dwProtocol);
    return code(rv);
}

std::uint32_t pcsclite_backend::status(service_value card, std::string* reader, std::uint32_t* state,
                                       std::uint32_t* protocol, std::vector<std::uint8_t>* atr) {
    char name[max_name + 2] = {};
    DWORD name_length = max_name + 1;
    DWORD lite_state = 0;
    DWORD lite_protocol = 0;
    BYTE atr_bytes[MAX_ATR_SIZE] = {};
    DWORD atr_length = sizeof atr_bytes;
    const LONG rv = SCardStatus(as_card(card), name, &name_length, &lite_state, &lite_protocol, atr_bytes,
                                &atr_length);
    reader->clear();
    atr->clear();
    *state = card_state_from_lite(lite_state, lite_protocol);
    *protocol = protocols_from_lite(lite_protocol);
    if (rv == SCARD_S_SUCCESS) {
        name[max_name] = '\0';
        *reader = name;
        atr->assign(atr_bytes, atr_bytes + std::min<DWORD>(atr_length, MAX_ATR_SIZE));
    }
    return code(rv);
}

std::uint32_t pcsclite_backend::get_status_change(service_value context, std::uint32_t timeout_ms,
                                                  std::vector<reader_state>* states) {
    std::vector<SCARD_READERSTATE> lite(states->size());
    for (std::size_t i = 0; i < lite.size(); ++i) {
        std::memset(&lite[i], 0, sizeof lite[i]);
        lite[i].szReader = (*states)[i].reader.c_str();
        lite[i].dwCurrentState = (*states)[i].current_state;
    }
    const LONG rv = SCardGetStatusChange(as_context(context), timeout_ms, lite.empty() ? nullptr : lite.data(),
                                         lite.size());
    for (std::size_t i = 0; i < lite.size(); ++i) {
        auto& out = (*states)[i];
        out.event_state = static_cast<std::uint32_t>(lite[i].dwEventState);
        const DWORD n = std::min<DWORD>(lite[i].cbAtr, MAX_ATR_SIZE);
        out.atr.assign(lite[i].rgbAtr, lite[i].rgbAtr + n);
    }
    return code(rv);
}

std::uint32_t pcsclite_backend::cancel(service_value context) {
    return code(SCardCancel(as_context(context)));
}

}  // namespace pcsc_bridge
