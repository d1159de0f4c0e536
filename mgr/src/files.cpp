// Token "files": data objects labelled with the file name, and the search
// of a data object by application and label.
#include <climits>
#include <cstring>
#include <vector>

#include "SolvantaMgr.h"
#include "objects_internal.h"

namespace {

using mgr::token_ref;

constexpr std::size_t max_name = 32;
constexpr std::size_t file_create_size = 512;
constexpr int file_capacity = 4096;
constexpr int data_object_capacity = 1024;

CK_BBOOL ck_true = CK_TRUE;

CK_ATTRIBUTE attr(CK_ATTRIBUTE_TYPE type, const void* value, std::size_t length) {
    return CK_ATTRIBUTE{type, const_cast<void*>(value), static_cast<CK_ULONG>(length)};
}

bool name_fits(const char* name) { return name != nullptr && std::strlen(name) <= max_name; }

// The capacity of the caller's buffer: *length when positive, else the
// size the buffer is documented to have.
std::size_t capacity(const int* length, int documented) {
    return static_cast<std::size_t>(*length > 0 ? *length : documented);
}

// Reads the object's value into the caller's buffer when it fits:
// CKR_OK, CKR_BUFFER_TOO_SMALL with the needed length (nothing copied),
// or the module's code. A null buffer asks for the length only (CKR_OK).
CK_RV read_into(const token_ref& t, CK_OBJECT_HANDLE h, unsigned char* buffer, int* length, std::size_t room,
                int documented) {
    CK_ATTRIBUTE a = attr(CKA_VALUE, nullptr, 0);
    CK_RV rv = t.f->C_GetAttributeValue(t.session, h, &a, 1);
    if (rv != CKR_OK) return rv;
    // A length an int cannot report is no value this library can hand on.
    if (a.ulValueLen == CK_UNAVAILABLE_INFORMATION || a.ulValueLen > static_cast<CK_ULONG>(INT_MAX))
        return CKR_GENERAL_ERROR;
    const CK_ULONG size = a.ulValueLen;
    if (buffer == nullptr) {
        *length = static_cast<int>(size);
        return CKR_OK;
    }
    if (size > room) {
        *length = static_cast<int>(size);
        return CKR_BUFFER_TOO_SMALL;
    }
    std::vector<unsigned char> value(static_cast<std::size_t>(documented) > size ? documented : size);
    a.pValue = value.data();
    a.ulValueLen = static_cast<CK_ULONG>(value.size());
    rv = t.f->C_GetAttributeValue(t.session, h, &a, 1);
    if (rv != CKR_OK) return rv;
    if (a.ulValueLen > room) {
        *length = static_cast<int>(a.ulValueLen);
        return CKR_BUFFER_TOO_SMALL;
    }
    if (a.ulValueLen != 0) std::memcpy(buffer, value.data(), a.ulValueLen);
    *length = static_cast<int>(a.ulValueLen);
    return CKR_OK;
}

// A file's data object by its label, used by `op` (handle 0 when there is
// none or more than one: the module refuses that handle with its own code)
// while the search is open; the module's code of the search or of `op`.
template <class Op>
CK_RV with_file(const token_ref& t, const char* name, Op op) {
    CK_OBJECT_CLASS cls = CKO_DATA;
    CK_ATTRIBUTE tmpl[] = {
        attr(CKA_CLASS, &cls, sizeof cls),
        attr(CKA_TOKEN, &ck_true, 1),
        attr(CKA_LABEL, name, std::strlen(name)),
    };
    CK_RV rv = t.f->C_FindObjectsInit(t.session, tmpl, 3);
    if (rv != CKR_OK) return rv;
    CK_OBJECT_HANDLE h = 0;
    CK_ULONG n = 0;
    if (t.f->C_FindObjects(t.session, &h, 1, &n) != CKR_OK || n != 1) h = 0;
    rv = op(h);
    (void)t.f->C_FindObjectsFinal(t.session);
    return rv;
}

}  // namespace

extern "C" {

int SOLVANTAMGR_CALL token_create_file(int index, const char* name, int name_length) {
    return mgr::guarded(static_cast<int>(CKR_HOST_MEMORY), [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t)) return 1;
        if (!name_fits(name) || name_length < 0 || name_length > static_cast<int>(max_name)) return 1;
        CK_OBJECT_CLASS cls = CKO_DATA;
        std::vector<unsigned char> zeros(file_create_size, 0);
        CK_ATTRIBUTE tmpl[] = {
            attr(CKA_CLASS, &cls, sizeof cls),
            attr(CKA_TOKEN, &ck_true, 1),
            attr(CKA_LABEL, name, std::strlen(name)),
            attr(CKA_VALUE, zeros.data(), zeros.size()),
        };
        CK_OBJECT_HANDLE h = 0;
        return static_cast<int>(t.f->C_CreateObject(t.session, tmpl, 4, &h));
    });
}

int SOLVANTAMGR_CALL token_read_file(int index, const char* name, unsigned char* buffer, int* length) {
    return mgr::guarded(static_cast<int>(CKR_HOST_MEMORY), [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t)) return 1;
        if (!name_fits(name) || length == nullptr) return 1;
        const std::size_t room = capacity(length, file_capacity);
        return static_cast<int>(with_file(t, name, [&](CK_OBJECT_HANDLE h) {
            return read_into(t, h, buffer, length, room, file_capacity);
        }));
    });
}

int SOLVANTAMGR_CALL token_write_file(int index, const char* name, const unsigned char* data, int length) {
    return mgr::guarded(static_cast<int>(CKR_HOST_MEMORY), [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t)) return 1;
        if (!name_fits(name)) return 1;
        if (length < 0 || length > file_capacity || (data == nullptr && length != 0)) return 2;
        return static_cast<int>(with_file(t, name, [&](CK_OBJECT_HANDLE h) {
            CK_ATTRIBUTE value = attr(CKA_VALUE, data, static_cast<std::size_t>(length));
            return t.f->C_SetAttributeValue(t.session, h, &value, 1);
        }));
    });
}

int SOLVANTAMGR_CALL token_get_first_dataobject_value(int index, const char* application, const char* label,
                                                      unsigned char* buffer, int* length) {
    return mgr::guarded(2, [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t)) return 1;
        if (application == nullptr || label == nullptr || length == nullptr) return 1;
        const std::size_t room = capacity(length, data_object_capacity);
        CK_OBJECT_CLASS cls = CKO_DATA;
        // The label is searched with its NUL (token_create_file labels without).
        CK_ATTRIBUTE tmpl[] = {
            attr(CKA_TOKEN, &ck_true, 1),
            attr(CKA_CLASS, &cls, sizeof cls),
            attr(CKA_APPLICATION, application, std::strlen(application)),
            attr(CKA_LABEL, label, std::strlen(label) + 1),
        };
        const CK_OBJECT_HANDLE h = mgr::first_object(t, tmpl, 4);
        if (h == 0) return 1;
        // A value longer than the buffer is one that cannot be read into it:
        // 2, with the length it needs.
        return read_into(t, h, buffer, length, room, data_object_capacity) == CKR_OK ? 0 : 2;
    });
}

}  // extern "C"
