#include "containers/rsa_operations.h"

#include "operations/dispatch.h"
#include "rsa_ctx.h"
#include "token_objects.h"

namespace pkcs11 {

bool is_hardware_rsa(pkcs11_ctx_class ctx_class) {
    switch (ctx_class) {
        case pkcs11_ctx_class::hardware_rsa_pkcs:
        case pkcs11_ctx_class::hardware_rsa_raw:
        case pkcs11_ctx_class::hardware_shaxrsa_pkcs:
        case pkcs11_ctx_class::hardware_rsa_x931:
        case pkcs11_ctx_class::hardware_rsa_sha_x931:
            return true;
        default:
            return false;
    }
}

CK_RV make_token_rsa_ctx(pkcs11_token& token, pkcs11_ctx_class ctx_class, const CK_MECHANISM& mechanism,
                         pkcs11_object& key, std::unique_ptr<pkcs11_key_ctx>& out) {
    std::uint32_t key_type = 0;
    if (key.attributes().get_u32(CKA_KEY_TYPE, key_type) && key_type != CKK_RSA) return CKR_KEY_TYPE_INCONSISTENT;
    pkcs11_container_manager& containers = token.objects().containers();
    out = make_hardware_rsa_ctx(ctx_class, mechanism, containers.rsa_card(),
                                containers.rsa_key_source(pkcs11_object_ref(&key)));
    return out ? CKR_OK : CKR_HOST_MEMORY;
}

CK_RV generate_key_pair(pkcs11_session& session, pkcs11_token& token, const CK_MECHANISM& mechanism,
                        const CK_ATTRIBUTE* public_template, CK_ULONG public_count,
                        const CK_ATTRIBUTE* private_template, CK_ULONG private_count, CK_OBJECT_HANDLE& public_key,
                        CK_OBJECT_HANDLE& private_key) {
    const bool ec = mechanism.mechanism == CKM_EC_KEY_PAIR_GEN;
    if (mechanism.mechanism != CKM_RSA_PKCS_KEY_PAIR_GEN && mechanism.mechanism != CKM_RSA_X9_31_KEY_PAIR_GEN && !ec)
        return CKR_MECHANISM_INVALID;
    const access_level level = access_level_of(session.state);
    pkcs11_object_ref pub, pri;
    CK_RV rv = pkcs11_object::for_generation(session.handle, level, CKO_PUBLIC_KEY, mechanism.mechanism,
                                             public_template, public_count, pub);
    if (rv == CKR_OK)
        rv = pkcs11_object::for_generation(session.handle, level, CKO_PRIVATE_KEY, mechanism.mechanism,
                                           private_template, private_count, pri);
    if (rv != CKR_OK) return rv;
    // Key pairs live in the token's containers only.
    if (!pri->is_token_object()) return CKR_TEMPLATE_INCONSISTENT;
    pkcs11_token_objects& objects = token.objects();
    // The stored containers are listed first, so that the new pair gets a
    // place of its own.
    rv = objects.store().load_containers(objects.list());
    if (rv == CKR_OK)
        rv = ec ? objects.containers().generate_ec_key_pair(*pub, *pri)
                : objects.containers().generate_rsa_key_pair(*pub, *pri);
    if (rv != CKR_OK) return rv;
    if (objects.list().append(pub) == 0 || objects.list().append(pri) == 0) return CKR_HOST_MEMORY;
    token.connection_fresh = false;
    public_key = pub->handle();
    private_key = pri->handle();
    return CKR_OK;
}

}  // namespace pkcs11
