// The module binding, the token table and the library's start and stop.
//
// One binding per process: the loaded module and its two function lists.
// A binding that fails at any step (load, either getter, C_Initialize)
// unloads the module and clears both lists, so the next init_pkcs11 tries
// again. The 32 records hold no pointer to the binding: every token export
// reaches the current one through checked_token().
#include <windows.h>

#include <cstring>

#include "SolvantaMgr.h"
#include "binding.h"
#include "guard.h"
#include "token_table.h"

namespace mgr {

namespace {

constexpr int binding_failed = 0x8009001D;

struct module_binding {
    HMODULE module = nullptr;
    CK_FUNCTION_LIST* functions = nullptr;
    CK_EXT_FUNCTION_LIST* extension = nullptr;
};

module_binding the_binding;
token_record the_records[max_tokens];
int the_count = 0;

void unbind() {
    if (the_binding.module != nullptr) FreeLibrary(the_binding.module);
    the_binding = module_binding{};
}

int bind(const char* module_file) {
    if (the_binding.functions != nullptr) return 0;
    if (module_file == nullptr) return binding_failed;
    the_binding.module = LoadLibraryA(module_file);
    if (the_binding.module == nullptr) return binding_failed;

    // GetProcAddress gives a generic pointer; go through void* to the
    // function types the standard header and ours declare.
    auto get_functions = reinterpret_cast<CK_C_GetFunctionList>(
        reinterpret_cast<void*>(GetProcAddress(the_binding.module, "C_GetFunctionList")));
    auto get_extension = reinterpret_cast<CK_M_GetExtFunctionList>(
        reinterpret_cast<void*>(GetProcAddress(the_binding.module, "M_GetExtFunctionList")));
    CK_FUNCTION_LIST* functions = nullptr;
    CK_EXT_FUNCTION_LIST* extension = nullptr;
    if (get_functions == nullptr || get_extension == nullptr || get_functions(&functions) != CKR_OK ||
        functions == nullptr || get_extension(&extension) != CKR_OK || extension == nullptr ||
        functions->C_Initialize == nullptr) {
        unbind();
        return binding_failed;
    }

    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    const CK_RV rv = functions->C_Initialize(&args);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        unbind();
        return binding_failed;
    }
    the_binding.functions = functions;
    the_binding.extension = extension;
    return 0;
}

void close_session(token_record& r) {
    if (r.session != 0 && the_binding.functions != nullptr) (void)the_binding.functions->C_CloseSession(r.session);
    r.session = 0;
    r.connected = 0;
}

}  // namespace

CK_FUNCTION_LIST* bound_functions() { return the_binding.functions; }
CK_EXT_FUNCTION_LIST* bound_extension() { return the_binding.functions != nullptr ? the_binding.extension : nullptr; }

token_record* record_at(int index) {
    if (the_binding.functions == nullptr) return nullptr;
    const unsigned u = static_cast<unsigned>(index);
    if (u >= static_cast<unsigned>(the_count) || u >= static_cast<unsigned>(max_tokens)) return nullptr;
    return &the_records[u];
}

int checked_token(int index, need what, token_ref* out) {
    if (out == nullptr) return 1;
    token_record* r = record_at(index);
    if (r == nullptr) return 1;
    if (what == need::connection && r->connected == 0) return 1;
    out->f = the_binding.functions;
    out->x = the_binding.extension;
    out->session = r->session;
    out->slot = r->slot;
    out->index = index;
    return 0;
}

void set_found_slots(const CK_SLOT_ID* ids, int n) {
    if (n < 0) n = 0;
    if (n > max_tokens) n = max_tokens;
    for (int i = 0; i < n; ++i) the_records[i].slot = ids[i];
    the_count = n;
}

void clear_found_slots() { the_count = 0; }

int refresh_record(const token_ref& t, token_record* r) {
    CK_TOKEN_INFO info;
    std::memset(&info, 0, sizeof info);
    if (t.f->C_GetTokenInfo(t.slot, &info) != CKR_OK) return 1;
    CK_EXT_TOKEN_INFO ext{};
    if (t.x->M_GetTokenExtInfo == nullptr || t.x->M_GetTokenExtInfo(t.slot, &ext) != CKR_OK) return 1;

    std::memcpy(r->serial, info.serialNumber, sizeof r->serial);
    std::memset(r->label, 0, sizeof r->label);
    std::memcpy(r->label, info.label, sizeof info.label);
    std::memcpy(r->manufacturer, info.manufacturerID, sizeof r->manufacturer);
    std::memcpy(r->model, info.model, sizeof r->model);
    r->total_private_memory = static_cast<uint32_t>(info.ulTotalPrivateMemory);
    r->free_private_memory = static_cast<uint32_t>(info.ulFreePrivateMemory);
    r->hardware_version = info.hardwareVersion.major * 256 + info.hardwareVersion.minor;
    r->firmware_version = info.firmwareVersion.major * 256 + info.firmwareVersion.minor;
    r->extension_word = static_cast<uint32_t>(ext.versionData[0]) * 256u + ext.versionData[1];
    r->initialised = (info.flags & CKF_TOKEN_INITIALIZED) != 0 ? 1 : 0;
    r->protected_path = static_cast<int>(info.flags & CKF_PROTECTED_AUTHENTICATION_PATH);
    // The token's own limits are not passed on: callers get 32 and 6.
    r->max_pin = 32;
    r->min_pin = 6;
    r->max_pin2 = 32;
    r->min_pin2 = 6;
    return 0;
}

}  // namespace mgr

extern "C" {

int SOLVANTAMGR_CALL init_pkcs11(const char* module_file) {
    return mgr::guarded(3, [&]() -> int { return mgr::bind(module_file) == 0 ? 0 : 3; });
}

int SOLVANTAMGR_CALL init_pkcs11_ex(uint32_t /*reserved1*/, uint32_t /*reserved2*/, uint32_t /*reserved3*/,
                                    const char* module_file) {
    return mgr::guarded(3, [&]() -> int { return mgr::bind(module_file) == 0 ? 0 : 3; });
}

int SOLVANTAMGR_CALL uninit_pkcs11(void) {
    return mgr::guarded(0, [&]() -> int {
        // Every record, also those beyond the count that a later, shorter
        // search left with a session.
        for (mgr::token_record& r : mgr::the_records) mgr::close_session(r);
        if (mgr::the_binding.functions != nullptr) (void)mgr::the_binding.functions->C_Finalize(nullptr);
        mgr::unbind();
        mgr::the_count = 0;
        return 0;
    });
}

}  // extern "C"
