#include "token_objects.h"

#include <memory>
#include <new>

#include "objects/object_finder.h"
#include "operations/card_key_ctx.h"
#include "token_info.h"

namespace pkcs11 {

namespace {

pkcs11_store_card card_of(pkcs11_token& token) {
    pkcs11_store_card card;
    card.device = [&token](solvantex::card_handle& h) {
        std::uintptr_t handle = 0;
        const std::int32_t status = token.device(&handle);
        h = static_cast<solvantex::card_handle>(handle);
        return status;
    };
    card.failure = [&token](std::int32_t status) { return device_failure(status, card_gone(token, status)); };
    return card;
}

access_level level_of(const pkcs11_session& session) { return access_level_of(session.state); }

// A listed object by handle, whatever the session sees.
CK_RV listed(pkcs11_token& token, CK_OBJECT_HANDLE handle, pkcs11_object_ref& out) {
    out = token.objects().list().find(handle);
    return out ? CKR_OK : CKR_OBJECT_HANDLE_INVALID;
}

// Whether the template asks for a value that is read from the card.
bool names_values(const CK_ATTRIBUTE* tmpl, CK_ULONG count) {
    for (CK_ULONG i = 0; tmpl != nullptr && i < count; ++i)
        if (is_read_on_demand_type(tmpl[i].type)) return true;
    return false;
}

// Stores a new token object (session objects need nothing) and lists it.
CK_RV store_and_list(pkcs11_token& token, const pkcs11_object_ref& object) {
    pkcs11_token_objects& objects = token.objects();
    CK_RV rv = objects.store().store_new(*object);
    if (rv != CKR_OK) return rv;
    if (objects.list().append(object) == 0) {
        (void)objects.store().destroy(*object);
        return CKR_HOST_MEMORY;
    }
    // The memory figures of the token information change with new files.
    if (object->is_token_object() && object->object_class() != CKO_SECRET_KEY &&
        object->object_class() != CKO_PUBLIC_KEY)
        token.connection_fresh = false;
    return CKR_OK;
}

}  // namespace

pkcs11_token_objects::pkcs11_token_objects(pkcs11_token& token)
    : store_(card_of(token)), containers_(card_of(token).device, list_) {
    store_.set_containers(&containers_);
}

void pkcs11_token_objects::drop_token_objects() {
    list_.remove_token_objects();
    store_.forget();
}

void pkcs11_token_objects::drop_at_logout() {
    list_.remove_logout_objects();
    store_.forget();
}

CK_RV find_session_key(pkcs11_session& session, pkcs11_token& token, CK_OBJECT_HANDLE handle,
                       pkcs11_object_ref& out) {
    pkcs11_object_ref object = token.objects().list().find(handle);
    if (!object || !object_visible(level_of(session), object->kind())) return CKR_OBJECT_HANDLE_INVALID;
    out = std::move(object);
    return CKR_OK;
}

CK_RV add_new_object(pkcs11_session& session, pkcs11_token& token, const pkcs11_object_ref& object) {
    if (!object) return CKR_ARGUMENTS_BAD;
    const CK_RV rv = object_access(level_of(session), object_operation::generate, object->kind());
    if (rv != CKR_OK) return rv;
    return store_and_list(token, object);
}

CK_RV create_object(pkcs11_session& session, pkcs11_token& token, const CK_ATTRIBUTE* tmpl, CK_ULONG count,
                    CK_OBJECT_HANDLE& handle) {
    pkcs11_object_ref object;
    CK_RV rv = pkcs11_object::create(session.handle, level_of(session), tmpl, count, object);
    if (rv != CKR_OK) return rv;
    // The stored objects of the class are listed before a new one joins
    // them, so that a later load does not take it for a stranger.
    if (object->is_token_object()) {
        rv = token.objects().store().load_for(tmpl, count, token.objects().list());
        if (rv != CKR_OK) return rv;
    }
    rv = store_and_list(token, object);
    if (rv == CKR_OK) handle = object->handle();
    return rv;
}

CK_RV copy_object(pkcs11_session& session, pkcs11_token& token, CK_OBJECT_HANDLE source, const CK_ATTRIBUTE* tmpl,
                  CK_ULONG count, CK_OBJECT_HANDLE& handle) {
    pkcs11_object_ref object;
    CK_RV rv = listed(token, source, object);
    if (rv != CKR_OK) return rv;
    const access_level level = level_of(session);
    // The copy takes the value along: a stored value is read first (only
    // for a session allowed to copy the source at all).
    if (object_access(level, object_operation::copy, object->kind()) == CKR_OK) {
        rv = token.objects().store().read_values(*object);
        if (rv != CKR_OK) return rv;
    }
    pkcs11_object_ref copy;
    rv = object->copy_for(session.handle, level, tmpl, count, copy);
    if (rv != CKR_OK) return rv;
    // Where the source lies on the card is not the copy's.
    for (CK_ATTRIBUTE_TYPE t : {CKA_VENDOR_STORE_INDEX, CKA_VENDOR_CARD_KEY_ID})
        if (copy->attributes().has(static_cast<std::uint32_t>(t))) {
            rv = copy->attributes().set_u32(static_cast<std::uint32_t>(t), 0xFFFFFFFFu);
            if (rv != CKR_OK) return rv;
        }
    copy->attributes().remove(CKA_VENDOR_STORE_NAME);
    // A key the card generated lives in its saved slot: its copy gets a
    // slot of its own with the same key, or is refused.
    const bool saved_key = card_generated_key(*object);
    if (saved_key && !copy->is_token_object()) return CKR_FUNCTION_NOT_SUPPORTED;
    rv = store_and_list(token, copy);
    if (rv == CKR_OK && saved_key) {
        rv = card_copy_saved_key(token, *object, *copy);
        if (rv != CKR_OK) (void)destroy_object(session, token, copy->handle());
    }
    if (rv == CKR_OK) handle = copy->handle();
    return rv;
}

CK_RV destroy_object(pkcs11_session& session, pkcs11_token& token, CK_OBJECT_HANDLE handle) {
    pkcs11_object_ref object;
    CK_RV rv = listed(token, handle, object);
    if (rv != CKR_OK) return rv;
    rv = object_access(level_of(session), object_operation::destroy, object->kind());
    if (rv != CKR_OK) return rv;
    rv = token.objects().store().destroy(*object);
    if (rv != CKR_OK) return rv;
    token.objects().list().remove(handle);
    if (object->is_token_object() && object->object_class() != CKO_SECRET_KEY) token.connection_fresh = false;
    return CKR_OK;
}

CK_RV get_object_size(pkcs11_session& session, pkcs11_token& token, CK_OBJECT_HANDLE handle, CK_ULONG& size) {
    pkcs11_object_ref object;
    CK_RV rv = listed(token, handle, object);
    if (rv != CKR_OK) return rv;
    // The size counts the value, read once, for a session that may read it.
    if (object_access(level_of(session), object_operation::read, object->kind()) == CKR_OK) {
        rv = token.objects().store().read_values(*object);
        if (rv != CKR_OK) return rv;
    }
    size = object->object_size();
    return CKR_OK;
}

CK_RV get_attribute_value(pkcs11_session& session, pkcs11_token& token, CK_OBJECT_HANDLE handle,
                          CK_ATTRIBUTE* tmpl, CK_ULONG count) {
    pkcs11_object_ref object;
    CK_RV rv = listed(token, handle, object);
    if (rv != CKR_OK) return rv;
    const access_level level = level_of(session);
    // Access first: a session that may not read the object causes no card
    // read. The stored value is read only when the template asks for it.
    if (object_access(level, object_operation::read, object->kind()) == CKR_OK && names_values(tmpl, count)) {
        rv = token.objects().store().read_values(*object);
        if (rv != CKR_OK) return rv;
    }
    return object->get_attribute_values(level, tmpl, count);
}

CK_RV set_attribute_value(pkcs11_session& session, pkcs11_token& token, CK_OBJECT_HANDLE handle,
                          const CK_ATTRIBUTE* tmpl, CK_ULONG count) {
    pkcs11_object_ref object;
    CK_RV rv = listed(token, handle, object);
    if (rv != CKR_OK) return rv;
    pkcs11_object_store& store = token.objects().store();
    rv = object->set_attribute_values(
        level_of(session), session.state, tmpl, count,
        [&store](const pkcs11_object& o, pkcs11_attribute_mgr& updated) { return store.update(o, updated); });
    if (rv != CKR_OK) return rv;
    // A data object rewritten on the card holds its whole value now.
    if (object->is_token_object() && object->object_class() == CKO_DATA && object->attributes().has(CKA_VALUE))
        object->set_values_loaded(true);
    return CKR_OK;
}

CK_RV find_objects_init(pkcs11_session& session, pkcs11_token& token, const CK_ATTRIBUTE* tmpl, CK_ULONG count) {
    find_objects_final(session);
    CK_RV rv = check_template(tmpl, count);
    if (rv != CKR_OK) return rv;
    pkcs11_token_objects& objects = token.objects();
    rv = objects.store().load_for(tmpl, count, objects.list());
    if (rv != CKR_OK) return rv;
    std::shared_ptr<pkcs11_object_finder> finder;
    try {
        finder = std::make_shared<pkcs11_object_finder>(objects.list(), &objects.store());
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    }
    rv = finder->init(tmpl, count);
    if (rv != CKR_OK) return rv;
    session.search = std::move(finder);
    return CKR_OK;
}

CK_RV find_objects(pkcs11_session& session, CK_OBJECT_HANDLE* handles, CK_ULONG max, CK_ULONG* found) {
    if (!session.search || !session.search->active()) return CKR_OPERATION_NOT_INITIALIZED;
    return session.search->find(level_of(session), handles, max, found);
}

void find_objects_final(pkcs11_session& session) { session.search.reset(); }

CK_RV reload_objects(pkcs11_token& token) {
    pkcs11_token_objects& objects = token.objects();
    objects.drop_token_objects();
    token.connection_fresh = false;
    return objects.store().load_all(objects.list());
}

void drop_session_objects(pkcs11_token& token, CK_SESSION_HANDLE session) {
    token.objects().list().remove_session_objects(session);
}

}  // namespace pkcs11
