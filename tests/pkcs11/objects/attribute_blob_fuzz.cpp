// libFuzzer target over the loader of the object byte form: any input must
// load or be refused without a crash, an over-read or a huge allocation,
// and whatever loads must write back to a form that loads to the same
// records.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "attribute_mgr.h"
#include "object.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    pkcs11::pkcs11_attribute_mgr attributes;
    std::size_t used = size;
    const CK_RV rv = attributes.load(data, used);
    require(rv == CKR_OK || rv == CKR_DATA_LEN_RANGE);
    for (const auto& r : attributes.records()) {
        require(!pkcs11::is_fixed_width_type(r.type) || r.value.size() == pkcs11::fixed_width_size);
        require(r.value.size() <= size);
    }
    if (rv == CKR_OK) {
        require(used == size);
        // Fixed-width values given in fewer than 4 bytes (even none) grow to 4.
        require(attributes.blob_size() <= size + pkcs11::fixed_width_size * attributes.count());
        std::vector<std::uint8_t> again(attributes.blob_size());
        std::size_t n = again.size();
        require(attributes.serialise(again.data(), n) == CKR_OK && n == again.size());
        pkcs11::pkcs11_attribute_mgr back;
        require(back.load(again.data(), n) == CKR_OK);
        require(back.count() == attributes.count());
        for (std::size_t i = 0; i < back.count(); ++i) {
            require(back.records()[i].type == attributes.records()[i].type);
            require(back.records()[i].value == attributes.records()[i].value);
        }
    }
    // The whole object: a class it keeps, or one of the loader's refusals.
    pkcs11::pkcs11_object_ref object;
    const CK_RV orv = pkcs11::pkcs11_object::from_blob(0, data, size, object);
    require(orv == CKR_OK || orv == CKR_DATA_LEN_RANGE || orv == CKR_ATTRIBUTE_TYPE_INVALID ||
            orv == CKR_TEMPLATE_INCONSISTENT);
    require((orv == CKR_OK) == static_cast<bool>(object));
    if (object) {
        CK_ATTRIBUTE query{CKA_CLASS, nullptr, 0};
        require(object->get_attribute_values(pkcs11::access_level::rw_user, &query, 1) == CKR_OK);
        require(query.ulValueLen == sizeof(CK_ULONG));
    }
    return 0;
}
