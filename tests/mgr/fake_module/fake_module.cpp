// A fake PKCS #11 module with the vendor extension, for the manager
// library's error rows: it does what the shared state block says
// (fake_state.h) and records every call. Built twice: with both getters,
// and without M_GetExtFunctionList.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "fake_state.h"

namespace {

using fake_module::state;

HANDLE mapping = nullptr;
state* s = nullptr;
state fallback;  // when the test made no block

void attach() {
    char name[64];
    mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, fake_module::mapping_name(name));
    if (mapping != nullptr) s = static_cast<state*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (s == nullptr) s = &fallback;
    ++s->loads;
}

void detach() {
    ++s->unloads;
    if (s != &fallback) UnmapViewOfFile(s);
    if (mapping != nullptr) CloseHandle(mapping);
    s = nullptr;
}

void note(fake_module::call_id id) {
    ++s->calls[id];
    if (s->log_length < fake_module::max_log) s->log[s->log_length++] = id;
}

void keep(unsigned char* out, CK_ULONG* out_length, const void* data, CK_ULONG length) {
    *out_length = length;
    std::memset(out, 0, sizeof s->last_bytes);
    if (data != nullptr) std::memcpy(out, data, std::min<CK_ULONG>(length, sizeof s->last_bytes));
}

// A call that takes two byte strings on a session: both kept.
void note_pair(fake_module::call_id id, CK_SESSION_HANDLE session, const void* first, CK_ULONG first_length,
               const void* second, CK_ULONG second_length) {
    note(id);
    s->last_session = session;
    keep(s->last_bytes, &s->last_length, first, first_length);
    keep(s->last_new_bytes, &s->last_new_length, second, second_length);
}

void pad(CK_UTF8CHAR* field, std::size_t size, const char* text) {
    std::memset(field, ' ', size);
    std::memcpy(field, text, std::min(size, std::strlen(text)));
}

CK_SLOT_ID slot_id(int i) { return static_cast<CK_SLOT_ID>(100 + i); }

CK_RV Initialize(CK_VOID_PTR args) {
    note(fake_module::call_initialize);
    s->initialize_args_null = args == nullptr;
    if (args != nullptr) s->initialize_flags = static_cast<CK_C_INITIALIZE_ARGS*>(args)->flags;
    return s->initialize_rv;
}

CK_RV Finalize(CK_VOID_PTR) {
    note(fake_module::call_finalize);
    return CKR_OK;
}

CK_RV GetSlotList(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    note(fake_module::call_get_slot_list);
    if (s->get_slot_list_rv != CKR_OK) return s->get_slot_list_rv;
    const CK_ULONG n = static_cast<CK_ULONG>(std::min(s->slot_count, fake_module::max_slots));
    if (list == nullptr) {
        *count = n;
        return CKR_OK;
    }
    if (*count < n) {
        *count = n;
        return CKR_BUFFER_TOO_SMALL;
    }
    for (CK_ULONG i = 0; i < n; ++i) list[i] = slot_id(static_cast<int>(i));
    *count = n;
    return CKR_OK;
}

CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    note(fake_module::call_get_token_info);
    s->last_slot = slot;
    if (s->token_info_rv != CKR_OK) return s->token_info_rv;
    std::memset(info, 0, sizeof *info);
    pad(info->label, sizeof info->label, "Fake label");
    pad(info->manufacturerID, sizeof info->manufacturerID, "Fake maker");
    pad(info->model, sizeof info->model, "Fake model");
    std::memcpy(info->serialNumber, "FAKE000000000042", 16);
    info->flags = CKF_TOKEN_INITIALIZED | CKF_PROTECTED_AUTHENTICATION_PATH | CKF_LOGIN_REQUIRED;
    info->ulMinPinLen = s->pin_min;
    info->ulMaxPinLen = s->pin_max;
    info->ulTotalPrivateMemory = 65536;
    info->ulFreePrivateMemory = 40000;
    info->hardwareVersion = {2, 3};
    info->firmwareVersion = {1, 11};
    return CKR_OK;
}

CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR session) {
    note(fake_module::call_open_session);
    s->last_slot = slot;
    if (s->open_session_rv != CKR_OK) return s->open_session_rv;
    *session = s->next_session++;
    return CKR_OK;
}

CK_RV CloseSession(CK_SESSION_HANDLE session) {
    note(fake_module::call_close_session);
    if (s->closed_count < fake_module::max_log) s->closed[s->closed_count++] = session;
    return CKR_OK;
}

CK_RV GetSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info) {
    note(fake_module::call_get_session_info);
    s->last_session = session;
    if (s->session_info_rv != CKR_OK) return s->session_info_rv;
    std::memset(info, 0, sizeof *info);
    info->slotID = s->last_slot;
    info->state = s->session_state;
    info->flags = CKF_SERIAL_SESSION | CKF_RW_SESSION;
    return CKR_OK;
}

CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    note(fake_module::call_login);
    s->last_session = session;
    s->last_user = user;
    keep(s->last_bytes, &s->last_length, pin, length);
    if (pin != nullptr && length == std::strlen(s->good_pin) && std::memcmp(pin, s->good_pin, length) == 0) {
        s->session_state = user == CKU_SO ? CKS_RW_SO_FUNCTIONS : CKS_RW_USER_FUNCTIONS;
        return CKR_OK;
    }
    return s->login_rv;
}

CK_RV Logout(CK_SESSION_HANDLE session) {
    note(fake_module::call_logout);
    s->last_session = session;
    s->session_state = CKS_RW_PUBLIC_SESSION;
    return s->logout_rv;
}

CK_RV InitPIN(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    note(fake_module::call_init_pin);
    s->last_session = session;
    keep(s->last_new_bytes, &s->last_new_length, pin, length);
    return s->init_pin_rv;
}

CK_RV SetPIN(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR old_pin, CK_ULONG old_length, CK_UTF8CHAR_PTR new_pin,
             CK_ULONG new_length) {
    note_pair(fake_module::call_set_pin, session, old_pin, old_length, new_pin, new_length);
    return s->set_pin_rv;
}

CK_RV SeedRandom(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG) {
    note(fake_module::call_seed_random);
    s->last_session = session;
    return s->seed_rv;
}

CK_RV GenerateRandom(CK_SESSION_HANDLE session, CK_BYTE_PTR out, CK_ULONG length) {
    note(fake_module::call_generate_random);
    s->last_session = session;
    s->random_length = length;
    for (CK_ULONG i = 0; i < length; ++i) out[i] = static_cast<CK_BYTE>(0xA0 + i);
    return CKR_OK;
}

CK_RV WaitForSlotEvent(CK_FLAGS, CK_SLOT_ID_PTR slot, CK_VOID_PTR) {
    note(fake_module::call_wait_for_slot_event);
    *slot = s->event_slot;
    return CKR_OK;
}

CK_RV GetUserInfo(CK_SLOT_ID slot, CK_USER_TYPE user, CK_EXT_USER_INFO_PTR info) {
    note(fake_module::call_get_user_info);
    s->last_slot = slot;
    s->last_user = user;
    if (s->user_info_rv != CKR_OK) return s->user_info_rv;
    info->retriesLeft = static_cast<uint32_t>(s->retries_left);
    info->retryLimit = user == CKU_SO ? 15 : 10;
    info->countLow = 1;
    info->finalTry = 0;
    info->locked = 1;
    info->toBeChanged = 1;
    return CKR_OK;
}

CK_RV UnblockUserPin(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR so, CK_ULONG so_length, CK_UTF8CHAR_PTR pin,
                     CK_ULONG length) {
    note_pair(fake_module::call_unblock_user_pin, session, so, so_length, pin, length);
    return CKR_OK;
}

CK_RV SetTokenLabel(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR label) {
    note(fake_module::call_set_token_label);
    s->last_session = session;
    keep(s->last_bytes, &s->last_length, label, label != nullptr ? std::strlen(reinterpret_cast<char*>(label)) : 0);
    return CKR_OK;
}

CK_RV FormatToken(CK_SESSION_HANDLE session, CK_EXT_FORMAT_PARAMS_PTR) {
    note(fake_module::call_format_token);
    s->last_session = session;
    return s->format_rv;
}

CK_RV ReloadObjects(CK_SESSION_HANDLE session) {
    note(fake_module::call_reload_objects);
    s->last_session = session;
    return s->reload_rv;
}

CK_RV RemoteUnblockPin(CK_SESSION_HANDLE session, CK_BYTE_PTR code, CK_ULONG code_length, CK_UTF8CHAR_PTR pin,
                       CK_ULONG length) {
    note_pair(fake_module::call_remote_unblock_pin, session, code, code_length, pin, length);
    return CKR_OK;
}

CK_RV GetTokenExtInfo(CK_SLOT_ID slot, CK_EXT_TOKEN_INFO_PTR info) {
    note(fake_module::call_get_token_ext_info);
    s->last_slot = slot;
    if (s->ext_info_rv != CKR_OK) return s->ext_info_rv;
    info->versionData[0] = 0x12;
    info->versionData[1] = 0x34;
    return CKR_OK;
}

CK_RV GetExtFunctionList(CK_EXT_FUNCTION_LIST_PTR_PTR list);

CK_FUNCTION_LIST make_functions() {
    CK_FUNCTION_LIST f;
    std::memset(&f, 0, sizeof f);
    f.version = {2, 40};
    f.C_Initialize = Initialize;
    f.C_Finalize = Finalize;
    f.C_GetSlotList = GetSlotList;
    f.C_GetTokenInfo = GetTokenInfo;
    f.C_OpenSession = OpenSession;
    f.C_CloseSession = CloseSession;
    f.C_GetSessionInfo = GetSessionInfo;
    f.C_Login = Login;
    f.C_Logout = Logout;
    f.C_InitPIN = InitPIN;
    f.C_SetPIN = SetPIN;
    f.C_SeedRandom = SeedRandom;
    f.C_GenerateRandom = GenerateRandom;
    f.C_WaitForSlotEvent = WaitForSlotEvent;
    return f;
}

CK_FUNCTION_LIST functions = make_functions();
CK_EXT_FUNCTION_LIST extension = {{1, 0},          GetUserInfo,   GetExtFunctionList, UnblockUserPin,
                                  SetTokenLabel,   FormatToken,   nullptr,            nullptr,
                                  nullptr,         nullptr,       ReloadObjects,      RemoteUnblockPin,
                                  GetTokenExtInfo};

CK_RV GetExtFunctionList(CK_EXT_FUNCTION_LIST_PTR_PTR list) {
    note(fake_module::call_get_ext_function_list);
    if (s->get_ext_function_list_rv != CKR_OK) return s->get_ext_function_list_rv;
    *list = &extension;
    return CKR_OK;
}

}  // namespace

extern "C" {

CK_RV fake_C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list);
CK_RV fake_M_GetExtFunctionList(CK_EXT_FUNCTION_LIST_PTR_PTR list);
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID);

CK_RV fake_C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    note(fake_module::call_get_function_list);
    if (s->get_function_list_rv != CKR_OK) return s->get_function_list_rv;
    *list = &functions;
    return CKR_OK;
}

CK_RV fake_M_GetExtFunctionList(CK_EXT_FUNCTION_LIST_PTR_PTR list) { return GetExtFunctionList(list); }

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) attach();
    if (reason == DLL_PROCESS_DETACH) detach();
    return TRUE;
}

}  // extern "C"
