// The DER-derived attributes of certificate objects and the naming rules of
// the container manager, without a card.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "containers/certificate_attributes.h"
#include "containers/container_manager.h"
#include "support/hex_bytes.h"
#include "test_certificates.h"

using namespace pkcs11;
using test_support::bytes;
using test_support::hex;

namespace {

pkcs11_object_ref certificate_object() {
    pkcs11_object_ref o;
    EXPECT_EQ(pkcs11_object::make_bare(0, CKO_CERTIFICATE, o), CKR_OK);
    return o;
}

bytes attribute(const pkcs11_object& o, CK_ATTRIBUTE_TYPE type) {
    const pkcs11_attribute* a = o.attributes().find(static_cast<std::uint32_t>(type));
    return a == nullptr ? bytes() : a->value;
}

std::string text(const bytes& b) { return std::string(b.begin(), b.end()); }

bool is_lower_hex(const std::string& s) {
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

}  // namespace

TEST(der_integer, EncodesTagLengthAndContent) {
    const bytes content = hex("00 80 ff");
    EXPECT_EQ(der_integer(content.data(), content.size()), hex("02 03 00 80 ff"));
    const bytes one = hex("01");
    EXPECT_EQ(der_integer(one.data(), one.size()), hex("02 01 01"));
    const bytes long_content(200, 0x11);
    const bytes encoded = der_integer(long_content.data(), long_content.size());
    ASSERT_EQ(encoded.size(), 203u);
    EXPECT_EQ(bytes(encoded.begin(), encoded.begin() + 3), hex("02 81 c8"));
    EXPECT_TRUE(der_integer(nullptr, 0).empty());
}

TEST(certificate_attributes, ComeFromTheDer) {
    const bytes der = hex(test_certificates::with_common_name);
    pkcs11_object_ref o = certificate_object();
    ASSERT_EQ(set_certificate_attributes(*o, der.data(), der.size()), CKR_OK);
    EXPECT_EQ(text(attribute(*o, CKA_LABEL)), "Solvanta Test");
    // The serial number as the DER INTEGER, its leading zero kept.
    EXPECT_EQ(attribute(*o, CKA_SERIAL_NUMBER), hex("02 03 00 80 ff"));
    EXPECT_EQ(attribute(*o, CKA_SUBJECT), hex(test_certificates::with_common_name_subject));
    EXPECT_EQ(attribute(*o, CKA_ISSUER), hex(test_certificates::issuer));
    EXPECT_EQ(text(attribute(*o, CKA_START_DATE)), "20190305");
    EXPECT_EQ(text(attribute(*o, CKA_END_DATE)), "20311231");
}

TEST(certificate_attributes, LabelIsTheFirstNameWithoutACommonNameAndAStoredLabelStays) {
    const bytes der = hex(test_certificates::without_common_name);
    pkcs11_object_ref o = certificate_object();
    ASSERT_EQ(set_certificate_attributes(*o, der.data(), der.size()), CKR_OK);
    EXPECT_EQ(text(attribute(*o, CKA_LABEL)), "Only Org");
    EXPECT_EQ(attribute(*o, CKA_SERIAL_NUMBER), hex("02 02 12 34"));

    pkcs11_object_ref labelled = certificate_object();
    ASSERT_EQ(labelled->attributes().set(CKA_LABEL, "mine", 4), CKR_OK);
    ASSERT_EQ(set_certificate_attributes(*labelled, der.data(), der.size()), CKR_OK);
    EXPECT_EQ(text(attribute(*labelled, CKA_LABEL)), "mine");
}

TEST(certificate_attributes, BytesThatAreNoCertificateSetNothing) {
    bytes der = hex(test_certificates::with_common_name);
    der[20] ^= 0xFF;
    for (const bytes& bad : {der, bytes(), bytes(17000, 0x30)}) {
        pkcs11_object_ref o = certificate_object();
        const std::size_t before = o->attributes().count();
        EXPECT_EQ(set_certificate_attributes(*o, bad.data(), bad.size()), CKR_OK);
        EXPECT_EQ(o->attributes().count(), before);
    }
}

TEST(container_names, AreContPlusTwentyHexDigitsAndDiffer) {
    pkcs11_object_mgr objects;
    pkcs11_container_manager manager(nullptr, objects);
    std::set<std::string> names, ids;
    for (int i = 0; i < 50; ++i) {
        std::string name, id;
        ASSERT_EQ(manager.new_container_name(name), CKR_OK);
        ASSERT_EQ(manager.new_key_id(id), CKR_OK);
        ASSERT_EQ(name.size(), 25u);
        EXPECT_EQ(name.compare(0, 5, "cont_"), 0);
        EXPECT_TRUE(is_lower_hex(name.substr(5))) << name;
        ASSERT_EQ(id.size(), 32u);
        EXPECT_TRUE(is_lower_hex(id)) << id;
        names.insert(name);
        ids.insert(id);
    }
    EXPECT_EQ(names.size(), 50u);
    EXPECT_EQ(ids.size(), 50u);
}

TEST(container_names, AssignmentFollowsTheIdLabelAndContainerRules) {
    pkcs11_object_mgr objects;
    pkcs11_container_manager manager(nullptr, objects);
    // A key already in a container, spec 1.
    pkcs11_object_ref key;
    ASSERT_EQ(pkcs11_object::make_bare(0, CKO_PRIVATE_KEY, key), CKR_OK);
    ASSERT_EQ(key->attributes().set_bool(CKA_TOKEN, true), CKR_OK);
    ASSERT_EQ(key->attributes().set(CKA_ID, "\x01", 1), CKR_OK);
    ASSERT_EQ(key->attributes().set(CKA_VENDOR_CONTAINER_NAME, "keys", 4), CKR_OK);
    ASSERT_EQ(key->attributes().set_u32(CKA_VENDOR_KEY_SPEC, 1), CKR_OK);
    ASSERT_EQ(objects.append(key), 1u);

    // A certificate with the key's CKA_ID joins its container and spec.
    pkcs11_object_ref joining = certificate_object();
    ASSERT_EQ(joining->attributes().set(CKA_ID, "\x01", 1), CKR_OK);
    ASSERT_EQ(manager.assign_container(*joining), CKR_OK);
    EXPECT_EQ(text(attribute(*joining, CKA_VENDOR_CONTAINER_NAME)), "keys");
    EXPECT_EQ(joining->key_spec(), 1u);

    // Another CKA_ID: a new container, key spec 2.
    pkcs11_object_ref other = certificate_object();
    ASSERT_EQ(other->attributes().set(CKA_ID, "\x02", 1), CKR_OK);
    ASSERT_EQ(manager.assign_container(*other), CKR_OK);
    EXPECT_EQ(text(attribute(*other, CKA_VENDOR_CONTAINER_NAME)).compare(0, 5, "cont_"), 0);
    EXPECT_EQ(other->key_spec(), 2u);

    // The label stands in for a missing CKA_ID.
    pkcs11_object_ref labelled = certificate_object();
    ASSERT_EQ(labelled->attributes().set(CKA_LABEL, "lab", 3), CKR_OK);
    ASSERT_EQ(manager.assign_container(*labelled), CKR_OK);
    EXPECT_EQ(text(attribute(*labelled, CKA_ID)), "lab");
    EXPECT_TRUE(labelled->attributes().has(CKA_VENDOR_CONTAINER_NAME));

    // Neither: a certificate stays standalone, a key is refused.
    pkcs11_object_ref bare = certificate_object();
    ASSERT_EQ(manager.assign_container(*bare), CKR_OK);
    EXPECT_FALSE(bare->attributes().has(CKA_VENDOR_CONTAINER_NAME));
    pkcs11_object_ref bare_key;
    ASSERT_EQ(pkcs11_object::make_bare(0, CKO_PUBLIC_KEY, bare_key), CKR_OK);
    EXPECT_EQ(manager.assign_container(*bare_key), CKR_ATTRIBUTE_TYPE_INVALID);

    // Names the card cannot keep whole, and CKA_IDs over 64 bytes.
    pkcs11_object_ref long_name = certificate_object();
    const std::string name39(39, 'n');
    ASSERT_EQ(long_name->attributes().set(CKA_VENDOR_CONTAINER_NAME, name39.data(), name39.size()), CKR_OK);
    EXPECT_EQ(manager.assign_container(*long_name), CKR_ATTRIBUTE_VALUE_INVALID);
    pkcs11_object_ref long_id = certificate_object();
    const std::string id65(65, 'i');
    ASSERT_EQ(long_id->attributes().set(CKA_ID, id65.data(), id65.size()), CKR_OK);
    EXPECT_EQ(manager.assign_container(*long_id), CKR_ATTRIBUTE_VALUE_INVALID);
}
