// Containers and the certificates and keys in them, and certificates
// outside containers.
#include <cstring>
#include <vector>

#include "SolvantaMgr.h"
#include "objects_internal.h"

namespace {

using mgr::token_ref;

CK_BBOOL ck_true = CK_TRUE;

CK_ATTRIBUTE attr(CK_ATTRIBUTE_TYPE type, const void* value, std::size_t length) {
    return CK_ATTRIBUTE{type, const_cast<void*>(value), static_cast<CK_ULONG>(length)};
}

CK_CHAR_PTR chars(const char* s) { return reinterpret_cast<CK_CHAR_PTR>(const_cast<char*>(s)); }

// The key of a container and key spec (public or private), or 0.
CK_OBJECT_HANDLE container_key(const token_ref& t, CK_OBJECT_CLASS cls, const char* name, CK_ULONG spec) {
    CK_ATTRIBUTE tmpl[] = {
        attr(CKA_CLASS, &cls, sizeof cls),
        attr(CKA_VENDOR_CONTAINER_NAME, name, std::strlen(name)),
        attr(CKA_VENDOR_KEY_SPEC, &spec, sizeof spec),
    };
    return mgr::first_object(t, tmpl, 3);
}

}  // namespace

extern "C" {

int SOLVANTAMGR_CALL container_load_all(int index, char* buffer, unsigned long* length) {
    return mgr::guarded(3, [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t)) return 1;
        if (length == nullptr) return 3;
        CK_ULONG n = *length;
        if (t.x->M_EnumContainer(t.session, reinterpret_cast<CK_CHAR_PTR>(buffer), &n) != CKR_OK) return 3;
        *length = n;
        return 0;
    });
}

int SOLVANTAMGR_CALL container_create_new(int index, const char* name) {
    return mgr::guarded(static_cast<int>(CKR_HOST_MEMORY), [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t)) return 1;
        if (name == nullptr) return static_cast<int>(CKR_ARGUMENTS_BAD);
        return static_cast<int>(t.x->M_CreateContainer(t.session, chars(name)));
    });
}

int SOLVANTAMGR_CALL container_delete(int index, const char* name) {
    return mgr::guarded(static_cast<int>(CKR_HOST_MEMORY), [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t)) return 1;
        if (name == nullptr) return static_cast<int>(CKR_ARGUMENTS_BAD);
        return static_cast<int>(t.x->M_DeleteContainer(t.session, chars(name)));
    });
}

int SOLVANTAMGR_CALL container_get_cert(int index, const char* name, unsigned long key_spec, unsigned char* buffer,
                                        unsigned long* length) {
    return mgr::guarded(2, [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t)) return 1;
        if (name == nullptr || length == nullptr) return 1;
        CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
        CK_ULONG spec = key_spec;
        CK_ATTRIBUTE tmpl[] = {
            attr(CKA_CLASS, &cls, sizeof cls),
            attr(CKA_TOKEN, &ck_true, 1),
            attr(CKA_VENDOR_KEY_SPEC, &spec, sizeof spec),
            attr(CKA_VENDOR_CONTAINER_NAME, name, std::strlen(name)),
        };
        const CK_OBJECT_HANDLE h = mgr::first_object(t, tmpl, 4);
        if (h == 0) return 1;
        CK_ATTRIBUTE value = attr(CKA_VALUE, nullptr, 0);
        if (t.f->C_GetAttributeValue(t.session, h, &value, 1) != CKR_OK || value.ulValueLen == CK_UNAVAILABLE_INFORMATION)
            return 2;
        const CK_ULONG size = value.ulValueLen;
        if (buffer == nullptr) {
            *length = size;
            return 0;
        }
        if (*length < size) {
            *length = size;
            return 3;
        }
        *length = size;
        value.pValue = buffer;
        return static_cast<int>(t.f->C_GetAttributeValue(t.session, h, &value, 1));
    });
}

int SOLVANTAMGR_CALL container_get_pubkey(int index, const char* name, unsigned long key_spec, int* key_type,
                                          int* bits, unsigned char* modulus, unsigned char* exponent) {
    return mgr::guarded(1, [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t)) return 1;
        if (name == nullptr || key_type == nullptr || bits == nullptr || modulus == nullptr || exponent == nullptr)
            return 1;
        const CK_OBJECT_HANDLE h = container_key(t, CKO_PUBLIC_KEY, name, key_spec);
        if (h == 0) return 1;
        CK_KEY_TYPE type = 0;
        CK_ATTRIBUTE a = attr(CKA_KEY_TYPE, &type, sizeof type);
        if (t.f->C_GetAttributeValue(t.session, h, &a, 1) != CKR_OK) return 1;
        if (type != CKK_RSA) {
            *key_type = 3;
            *bits = 256;
            return 0;
        }
        std::memset(exponent, 0, 4);
        CK_ATTRIBUTE values[] = {attr(CKA_KEY_TYPE, &type, sizeof type), attr(CKA_MODULUS, modulus, 256),
                                 attr(CKA_PUBLIC_EXPONENT, exponent, 4)};
        if (t.f->C_GetAttributeValue(t.session, h, values, 3) != CKR_OK) return 1;
        *key_type = static_cast<int>(type);
        *bits = static_cast<int>(values[1].ulValueLen * 8);
        return 0;
    });
}

int SOLVANTAMGR_CALL container_get_prikey(int index, const char* name, unsigned long key_spec, int* key_type,
                                          int* bits) {
    return mgr::guarded(static_cast<int>(CKR_HOST_MEMORY), [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t)) return 1;
        if (name == nullptr || key_type == nullptr || bits == nullptr) return 1;
        const CK_OBJECT_HANDLE h = container_key(t, CKO_PRIVATE_KEY, name, key_spec);
        if (h == 0) return 1;
        CK_KEY_TYPE type = 0;
        CK_ATTRIBUTE a = attr(CKA_KEY_TYPE, &type, sizeof type);
        CK_RV rv = t.f->C_GetAttributeValue(t.session, h, &a, 1);
        if (rv != CKR_OK) return static_cast<int>(rv);
        if (type != CKK_RSA) {
            *key_type = 3;
            *bits = 256;
            return 0;
        }
        CK_ULONG modulus_bits = 0;
        CK_ATTRIBUTE values[] = {attr(CKA_KEY_TYPE, &type, sizeof type),
                                 attr(CKA_MODULUS_BITS, &modulus_bits, sizeof modulus_bits)};
        rv = t.f->C_GetAttributeValue(t.session, h, values, 2);
        if (rv != CKR_OK) return static_cast<int>(rv);
        *key_type = static_cast<int>(type);
        *bits = static_cast<int>(modulus_bits);
        return 0;
    });
}

int SOLVANTAMGR_CALL container_delete_cert(int index, const char* name, unsigned long key_spec) {
    return mgr::guarded(1, [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t)) return 1;
        if (name == nullptr) return 0;
        CK_ULONG spec = key_spec;
        CK_ATTRIBUTE tmpl[] = {
            attr(CKA_VENDOR_CONTAINER_NAME, name, std::strlen(name)),
            attr(CKA_VENDOR_KEY_SPEC, &spec, sizeof spec),
        };
        // Rounds of up to 128 objects; a round that destroys nothing ends it,
        // so an object the module will not destroy never makes this loop.
        for (;;) {
            if (t.f->C_FindObjectsInit(t.session, tmpl, 2) != CKR_OK) break;
            CK_OBJECT_HANDLE found[128];
            CK_ULONG n = 0;
            if (t.f->C_FindObjects(t.session, found, 128, &n) != CKR_OK) n = 0;
            (void)t.f->C_FindObjectsFinal(t.session);
            if (n == 0) break;
            CK_ULONG destroyed = 0;
            for (CK_ULONG i = 0; i < n && i < 128; ++i)
                if (t.f->C_DestroyObject(t.session, found[i]) == CKR_OK) ++destroyed;
            if (destroyed == 0) break;
        }
        return 0;
    });
}

int SOLVANTAMGR_CALL token_find_standalone_certs(int index, unsigned long* handles, int* count) {
    return mgr::guarded(1, [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t)) return 1;
        if (handles == nullptr || count == nullptr) return 1;
        *count = 0;
        CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
        CK_ULONG spec = 0;
        CK_ATTRIBUTE tmpl[] = {
            attr(CKA_TOKEN, &ck_true, 1),
            attr(CKA_CLASS, &cls, sizeof cls),
            attr(CKA_VENDOR_KEY_SPEC, &spec, sizeof spec),
        };
        if (t.f->C_FindObjectsInit(t.session, tmpl, 3) != CKR_OK) return 0;
        CK_OBJECT_HANDLE found[64];
        CK_ULONG n = 0;
        if (t.f->C_FindObjects(t.session, found, 64, &n) != CKR_OK) n = 0;
        (void)t.f->C_FindObjectsFinal(t.session);
        if (n > 64) n = 64;
        for (CK_ULONG i = 0; i < n; ++i) handles[i] = found[i];
        *count = static_cast<int>(n);
        return 0;
    });
}

int SOLVANTAMGR_CALL token_get_cert(int index, unsigned long handle, unsigned char* buffer, unsigned long* length) {
    return mgr::guarded(1, [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t)) return 1;
        if (length == nullptr) return 1;
        CK_ATTRIBUTE value = attr(CKA_VALUE, buffer, buffer == nullptr ? 0 : *length);
        if (t.f->C_GetAttributeValue(t.session, handle, &value, 1) != CKR_OK) return 1;
        *length = value.ulValueLen;
        return 0;
    });
}

int SOLVANTAMGR_CALL token_delete_cert(int index, unsigned long handle) {
    return mgr::guarded(static_cast<int>(CKR_HOST_MEMORY), [&]() -> int {
        token_ref t;
        if (!mgr::connected_token(index, &t)) return 1;
        return static_cast<int>(t.f->C_DestroyObject(t.session, handle));
    });
}

}  // extern "C"
