// Finding tokens, their sessions and their information.
#include <cstring>
#include <vector>

#include "SolvantaMgr.h"
#include "binding.h"
#include "guard.h"
#include "token_table.h"

namespace {

using mgr::need;
using mgr::token_record;
using mgr::token_ref;

// The slot ids of the tokens present, in the module's order. A token that
// arrives between the count and the fetch makes the buffer too small: ask
// again, a few times.
CK_RV present_slots(CK_FUNCTION_LIST* f, std::vector<CK_SLOT_ID>* ids) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        CK_ULONG n = 0;
        CK_RV rv = f->C_GetSlotList(CK_TRUE, nullptr, &n);
        if (rv != CKR_OK) return rv;
        ids->assign(n, 0);
        if (n == 0) return CKR_OK;
        rv = f->C_GetSlotList(CK_TRUE, ids->data(), &n);
        if (rv == CKR_OK) {
            ids->resize(n);
            return CKR_OK;
        }
        if (rv != CKR_BUFFER_TOO_SMALL) return rv;
    }
    return CKR_BUFFER_TOO_SMALL;
}

void copy_text(char* out, const char* field, std::size_t size) {
    const std::size_t n = strnlen(field, size);
    std::memcpy(out, field, n);
    std::memset(out + n, 0, size - n);
}

int get_info(int index, char* serial, char* label, char* manufacturer, char* model, int* max_pin, int* min_pin,
             int* max_pin2, int* min_pin2, int* total_private_memory, int* free_private_memory,
             int* hardware_version, int* firmware_version, int* extension_word, int* initialised,
             int* protected_path) {
    token_ref t;
    if (!mgr::connected_token(index, &t)) return 1;
    if (serial == nullptr || label == nullptr || manufacturer == nullptr || model == nullptr || max_pin == nullptr ||
        min_pin == nullptr || max_pin2 == nullptr || min_pin2 == nullptr || total_private_memory == nullptr ||
        free_private_memory == nullptr || hardware_version == nullptr || firmware_version == nullptr ||
        extension_word == nullptr || initialised == nullptr || protected_path == nullptr)
        return 1;
    token_record* r = mgr::record_at(index);
    if (mgr::refresh_record(t, r) != 0) return 2;

    std::memcpy(serial, r->serial, sizeof r->serial);
    // strncpy semantics: stop at a NUL of the record, pad with NULs, no NUL
    // added when the field is full.
    copy_text(label, r->label, sizeof r->label);
    copy_text(manufacturer, r->manufacturer, sizeof r->manufacturer);
    copy_text(model, r->model, sizeof r->model);
    *max_pin = r->max_pin;
    *min_pin = r->min_pin;
    *max_pin2 = r->max_pin2;
    *min_pin2 = r->min_pin2;
    *total_private_memory = static_cast<int>(r->total_private_memory);
    *free_private_memory = static_cast<int>(r->free_private_memory);
    *hardware_version = r->hardware_version;
    *firmware_version = r->firmware_version;
    *extension_word = static_cast<int>(r->extension_word);
    *initialised = r->initialised;
    *protected_path = r->protected_path;
    return 0;
}

}  // namespace

extern "C" {

// A null slot_ids asks for the count only: 0 and the number of tokens
// present (at most 32), which the table then holds as after a full search.
int SOLVANTAMGR_CALL token_find(unsigned long* slot_ids, unsigned long* count) {
    return mgr::guarded(1, [&]() -> int {
        CK_FUNCTION_LIST* f = mgr::bound_functions();
        if (f == nullptr || count == nullptr) return 1;
        mgr::clear_found_slots();
        std::vector<CK_SLOT_ID> ids;
        if (present_slots(f, &ids) != CKR_OK) return 1;
        const unsigned long found = ids.size() > static_cast<std::size_t>(mgr::max_tokens)
                                        ? static_cast<unsigned long>(mgr::max_tokens)
                                        : static_cast<unsigned long>(ids.size());
        if (slot_ids != nullptr && *count < found) {
            *count = found;
            return 1;
        }
        if (slot_ids != nullptr)
            for (unsigned long i = 0; i < found; ++i) slot_ids[i] = static_cast<unsigned long>(ids[i]);
        mgr::set_found_slots(ids.data(), static_cast<int>(found));
        *count = found;
        return 0;
    });
}

int SOLVANTAMGR_CALL token_waitfor_event(unsigned long* slot_id) {
    return mgr::guarded(1, [&]() -> int {
        CK_FUNCTION_LIST* f = mgr::bound_functions();
        if (f == nullptr || slot_id == nullptr) return 1;
        CK_SLOT_ID slot = 0;
        if (f->C_WaitForSlotEvent(0, &slot, nullptr) != CKR_OK) return 1;
        *slot_id = static_cast<unsigned long>(slot);
        return 0;
    });
}

namespace {

// Closes the record's session, if any, and marks it not connected.
token_record* close_session(const token_ref& t, int index) {
    token_record* r = mgr::record_at(index);
    if (r->session != 0) (void)t.f->C_CloseSession(r->session);
    r->session = 0;
    r->connected = 0;
    return r;
}

}  // namespace

int SOLVANTAMGR_CALL token_connect(int index) {
    return mgr::guarded(1, [&]() -> int {
        token_ref t;
        if (mgr::checked_token(index, need::index_only, &t) != 0) return 1;
        token_record* r = close_session(t, index);
        CK_SESSION_HANDLE session = 0;
        if (t.f->C_OpenSession(r->slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) != CKR_OK)
            return 1;
        r->session = session;
        r->connected = 1;
        return 0;
    });
}

int SOLVANTAMGR_CALL token_disconnect(int index) {
    return mgr::guarded(1, [&]() -> int {
        token_ref t;
        if (mgr::checked_token(index, need::index_only, &t) != 0) return 1;
        close_session(t, index);
        return 0;
    });
}

int SOLVANTAMGR_CALL token_get_info(int index, char* serial, char* label, char* manufacturer, char* model,
                                    int* max_pin, int* min_pin, int* max_pin2, int* min_pin2,
                                    int* total_private_memory, int* free_private_memory, int* hardware_version,
                                    int* firmware_version, int* extension_word, int* initialised) {
    return mgr::guarded(1, [&]() -> int {
        int protected_path = 0;
        return get_info(index, serial, label, manufacturer, model, max_pin, min_pin, max_pin2, min_pin2,
                        total_private_memory, free_private_memory, hardware_version, firmware_version,
                        extension_word, initialised, &protected_path);
    });
}

int SOLVANTAMGR_CALL token_get_info_ex(int index, char* serial, char* label, char* manufacturer, char* model,
                                       int* max_pin, int* min_pin, int* max_pin2, int* min_pin2,
                                       int* total_private_memory, int* free_private_memory, int* hardware_version,
                                       int* firmware_version, int* extension_word, int* initialised,
                                       int* protected_path) {
    return mgr::guarded(1, [&]() -> int {
        return get_info(index, serial, label, manufacturer, model, max_pin, min_pin, max_pin2, min_pin2,
                        total_private_memory, free_private_memory, hardware_version, firmware_version,
                        extension_word, initialised, protected_path);
    });
}

}  // extern "C"
