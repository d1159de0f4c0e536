// The library's one module binding and its table of 32 token records.
//
// Every export that works on a token goes through checked_token(), which
// applies the checks every token export shares (a bound module, the index
// in range, compared unsigned, and for most exports a connection) and hands
// back the current function lists with the record's session and slot. No
// record keeps a pointer to the binding of its own: they all reach the one
// current binding through here.
#ifndef SOLVANTA_MGR_BINDING_H
#define SOLVANTA_MGR_BINDING_H

#include <pkcs11_vendor.h>

namespace mgr {

constexpr int max_tokens = 32;

// What a token export works with, valid for the duration of one call.
struct token_ref {
    CK_FUNCTION_LIST* f = nullptr;      // standard list of the current binding
    CK_EXT_FUNCTION_LIST* x = nullptr;  // extension list of the current binding
    CK_SESSION_HANDLE session = 0;
    CK_SLOT_ID slot = 0;
    int index = -1;
};

enum class need { connection, index_only };

// 0 and *out filled; 1 when no module is bound, the index is outside
// 0..count-1, or (need::connection) the token is not connected.
int checked_token(int index, need what, token_ref* out);

// The check of every export that works in a token's session: true and *out
// filled when a module is bound, the index is in range and the token is
// connected.
inline bool connected_token(int index, token_ref* out) {
    return checked_token(index, need::connection, out) == 0;
}

// The current binding's lists, or nullptrs when nothing is bound.
CK_FUNCTION_LIST* bound_functions();
CK_EXT_FUNCTION_LIST* bound_extension();

}  // namespace mgr

#endif  // SOLVANTA_MGR_BINDING_H
