#include "token_sessions.h"

#include "token_card.h"
#include "token_objects.h"

namespace pkcs11 {

namespace {

void count_open(CK_TOKEN_INFO& info, bool read_write) {
    ++info.ulSessionCount;
    if (read_write) ++info.ulRwSessionCount;
}

void count_closed(CK_TOKEN_INFO& info, bool read_write) {
    if (info.ulSessionCount > 0) --info.ulSessionCount;
    if (read_write && info.ulRwSessionCount > 0) --info.ulRwSessionCount;
}

}  // namespace

bool session_state_for(const pkcs11_token& token, bool read_write, CK_STATE& state) {
    switch (token.login_state()) {
    case CKU_SO:
        if (!read_write) return false;
        state = CKS_RW_SO_FUNCTIONS;
        return true;
    case CKU_USER:
        state = read_write ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
        return true;
    default:
        state = read_write ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
        return true;
    }
}

void follow_login_state(pkcs11_session_mgr& sessions, const pkcs11_token& token) {
    for (pkcs11_session* s : sessions.of_token(token.identity())) {
        CK_STATE state;
        // A read-only session keeps its state while the SO is logged in.
        if (session_state_for(token, (s->flags & CKF_RW_SESSION) != 0, state)) s->state = state;
    }
}

CK_RV open_session(pkcs11_session_mgr& sessions, pkcs11_token& token, CK_FLAGS flags, CK_SESSION_HANDLE& handle) {
    const bool read_write = (flags & CKF_RW_SESSION) != 0;
    CK_STATE state;
    if (!session_state_for(token, read_write, state)) return CKR_SESSION_READ_WRITE_SO_EXISTS;
    handle = sessions.add(token.slot_id(), token.identity());
    pkcs11_session* s = sessions.find(handle);
    s->flags = read_write ? (CKF_SERIAL_SESSION | CKF_RW_SESSION) : CKF_SERIAL_SESSION;
    s->state = state;
    count_open(token.info(), read_write);
    return CKR_OK;
}

CK_RV close_session(pkcs11_session_mgr& sessions, pkcs11_token_mgr& tokens, CK_SESSION_HANDLE handle) {
    pkcs11_session* s = sessions.find(handle);
    if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
    pkcs11_token* token = tokens.find(s->slot_id, s->token);
    const bool read_write = (s->flags & CKF_RW_SESSION) != 0;
    (void)sessions.close(handle);
    if (token != nullptr) drop_session_objects(*token, handle);
    if (token != nullptr) {
        count_closed(token->info(), read_write);
        if (token->info().ulSessionCount == 0 && token->login_state() != login_nobody) logout_token(sessions, *token);
    }
    return CKR_OK;
}

void close_slot_sessions(pkcs11_session_mgr& sessions, pkcs11_token_mgr& tokens, CK_SLOT_ID slot) {
    std::vector<CK_SESSION_HANDLE> handles;
    for (pkcs11_session* s : sessions.of_slot(slot)) handles.push_back(s->handle);
    for (CK_SESSION_HANDLE h : handles) (void)close_session(sessions, tokens, h);
    pkcs11_token* token = tokens.find(slot);
    if (token != nullptr && token->login_state() != login_nobody) logout_token(sessions, *token);
}

CK_RV session_info(pkcs11_session& session, const pkcs11_token& token, CK_SESSION_INFO& info) {
    CK_STATE state;
    if (!session_state_for(token, (session.flags & CKF_RW_SESSION) != 0, state))
        return CKR_SESSION_READ_WRITE_SO_EXISTS;
    session.state = state;
    info.slotID = session.slot_id;
    info.state = session.state;
    info.flags = session.flags;
    info.ulDeviceError = 0;
    return CKR_OK;
}

void logout_token(pkcs11_session_mgr& sessions, pkcs11_token& token) {
    if (token.connected()) (void)on_device(token, card_clear_security_state);
    token.set_login_state(login_nobody);
    follow_login_state(sessions, token);
    token.objects().drop_at_logout();
}

}  // namespace pkcs11
