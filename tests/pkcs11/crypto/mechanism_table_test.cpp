// The mechanism table, the checks that run before a context is made, and
// the factory's choice of context by mechanism and key.
#include <gtest/gtest.h>

#include <vector>

#include "mechanism_table.h"

namespace {

using pkcs11::pkcs11_ctx_class;
using pkcs11::pkcs11_key_facts;

const CK_MECHANISM_TYPE table_order[] = {
    CKM_RSA_PKCS_KEY_PAIR_GEN, CKM_RSA_PKCS, CKM_RSA_X_509, CKM_SHA1_RSA_PKCS, CKM_RSA_X9_31_KEY_PAIR_GEN,
    CKM_RSA_X9_31, CKM_SHA1_RSA_X9_31, CKM_SHA256_RSA_PKCS, CKM_SHA384_RSA_PKCS, CKM_SHA512_RSA_PKCS,
    CKM_MD5_RSA_PKCS, CKM_MD5, CKM_SHA_1, CKM_SHA256, CKM_SHA512, CKM_DES_KEY_GEN, CKM_DES_ECB, CKM_DES_CBC,
    CKM_DES_CBC_PAD, CKM_DES3_KEY_GEN, CKM_DES3_ECB, CKM_DES3_CBC, CKM_DES3_CBC_PAD, CKM_AES_KEY_GEN, CKM_AES_ECB,
    CKM_AES_CBC, CKM_AES_CBC_PAD, CKM_RC2_KEY_GEN, CKM_RC2_ECB, CKM_RC2_CBC, CKM_RC4_KEY_GEN, CKM_RC4,
    CKM_MD5_KEY_DERIVATION, CKM_SHA1_KEY_DERIVATION, CKM_SHA256_KEY_DERIVATION, CKM_SHA512_KEY_DERIVATION,
    CKM_MD5_HMAC, CKM_SHA_1_HMAC, CKM_SHA256_HMAC, CKM_SHA384_HMAC, CKM_SHA512_HMAC, CKM_GENERIC_SECRET_KEY_GEN,
    CKM_EC_KEY_PAIR_GEN, CKM_ECDSA, CKM_ECDSA_SHA1, CKM_ECDSA_SHA256, CKM_ECDSA_SHA384, CKM_ECDSA_SHA512,
};

TEST(MechanismTable, ListHasTheFortyEightRowsInOrder) {
    static_assert(sizeof table_order / sizeof table_order[0] == 48, "the table has 48 rows");
    CK_ULONG count = 0;
    ASSERT_EQ(pkcs11::mechanism_list(nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 48u);
    std::vector<CK_MECHANISM_TYPE> list(48, 0xFFFF);
    count = 10;
    EXPECT_EQ(pkcs11::mechanism_list(list.data(), &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 48u);
    EXPECT_EQ(list[0], 0xFFFFu);
    ASSERT_EQ(pkcs11::mechanism_list(list.data(), &count), CKR_OK);
    EXPECT_EQ(count, 48u);
    EXPECT_EQ(list, std::vector<CK_MECHANISM_TYPE>(std::begin(table_order), std::end(table_order)));
    EXPECT_EQ(pkcs11::mechanism_list(list.data(), nullptr), CKR_ARGUMENTS_BAD);
}

struct info_case {
    CK_MECHANISM_TYPE type;
    CK_RV rv;
    CK_ULONG min;
    CK_ULONG max;
    CK_FLAGS flags;
};

const CK_FLAGS ec_flags = CKF_EC_F_P | CKF_EC_NAMEDCURVE | CKF_EC_UNCOMPRESS;

const info_case info_cases[] = {
    {CKM_RSA_PKCS_KEY_PAIR_GEN, CKR_OK, 1024, 2048, 0x10001},
    {CKM_RSA_PKCS, CKR_OK, 1024, 2048, 0x62B01},
    {CKM_RSA_X_509, CKR_OK, 1024, 2048, 0x2B01},
    {CKM_SHA1_RSA_PKCS, CKR_OK, 1024, 2048, 0x2801},
    {CKM_MD5, CKR_OK, 128, 128, 0x401},
    {CKM_SHA512, CKR_OK, 512, 512, 0x401},
    {CKM_DES_KEY_GEN, CKR_OK, 64, 64, 0x8001},
    {CKM_DES_ECB, CKR_OK, 64, 64, 0x60301},
    {CKM_DES3_CBC_PAD, CKR_OK, 192, 192, 0x60301},
    {CKM_AES_CBC, CKR_OK, 16, 32, 0x60301},
    {CKM_RC2_KEY_GEN, CKR_OK, 8, 1024, 0x8000},
    {CKM_RC2_CBC, CKR_OK, 1, 1024, 0x300},
    {CKM_RC4, CKR_OK, 8, 2048, 0x300},
    {CKM_SHA256_KEY_DERIVATION, CKR_OK, 256, 256, 0x80001},
    {CKM_SHA384_HMAC, CKR_OK, 0, 0, 0x2801},
    {CKM_GENERIC_SECRET_KEY_GEN, CKR_OK, 0, 256, 0x8001},
    {CKM_EC_KEY_PAIR_GEN, CKR_OK, 256, 521, 0x10001 | ec_flags},
    {CKM_ECDSA_SHA512, CKR_OK, 256, 521, 0x2801 | ec_flags},
    {CKM_SHA384, CKR_MECHANISM_INVALID, 0, 0, 0},
    {CKM_SHA384_KEY_DERIVATION, CKR_MECHANISM_INVALID, 0, 0, 0},
    {CKM_AES_GCM, CKR_MECHANISM_INVALID, 0, 0, 0},
};

TEST(MechanismTable, InfoRows) {
    for (const info_case& c : info_cases) {
        SCOPED_TRACE(testing::Message() << "mechanism 0x" << std::hex << c.type);
        CK_MECHANISM_INFO info{7, 7, 7};
        ASSERT_EQ(pkcs11::mechanism_info(c.type, &info), c.rv);
        if (c.rv != CKR_OK) continue;
        EXPECT_EQ(info.ulMinKeySize, c.min);
        EXPECT_EQ(info.ulMaxKeySize, c.max);
        EXPECT_EQ(info.flags, c.flags);
    }
    EXPECT_EQ(pkcs11::mechanism_info(CKM_MD5, nullptr), CKR_ARGUMENTS_BAD);
}

TEST(MechanismTable, EveryListedMechanismHasAContext) {
    for (CK_MECHANISM_TYPE type : table_order) {
        EXPECT_EQ(pkcs11::choose_key_ctx(type, nullptr).rv, CKR_OK) << std::hex << type;
    }
    // Digests and derivation of SHA-384 work although only its HMAC is listed.
    EXPECT_EQ(pkcs11::choose_key_ctx(CKM_SHA384, nullptr).ctx_class, pkcs11_ctx_class::soft_hash);
    EXPECT_EQ(pkcs11::choose_key_ctx(CKM_SHA384_KEY_DERIVATION, nullptr).ctx_class, pkcs11_ctx_class::soft_hash);
    EXPECT_EQ(pkcs11::choose_key_ctx(CKM_AES_GCM, nullptr).rv, CKR_MECHANISM_INVALID);
}

struct param_case {
    CK_MECHANISM_TYPE type;
    bool has_pointer;
    CK_ULONG length;
    CK_RV rv;
};

const param_case param_cases[] = {
    {CKM_AES_CBC, true, 8, CKR_MECHANISM_PARAM_INVALID},
    {CKM_AES_CBC, true, 16, CKR_OK},
    {CKM_AES_CBC, false, 0, CKR_OK},
    {CKM_AES_CBC_PAD, true, 17, CKR_MECHANISM_PARAM_INVALID},
    {CKM_DES_CBC, true, 7, CKR_MECHANISM_PARAM_INVALID},
    {CKM_DES_CBC, true, 8, CKR_OK},
    {CKM_DES3_CBC_PAD, true, 16, CKR_MECHANISM_PARAM_INVALID},
    {CKM_DES3_CBC, false, 0, CKR_OK},
    {CKM_AES_ECB, true, 3, CKR_OK},
    {CKM_RC2_CBC, true, 4, CKR_OK},  // the RC2 context checks its own
    {CKM_RSA_PKCS, true, 99, CKR_OK},
};

TEST(MechanismTable, ParameterCheck) {
    CK_BYTE param[32] = {};
    for (const param_case& c : param_cases) {
        CK_MECHANISM m{c.type, c.has_pointer ? param : nullptr, c.length};
        EXPECT_EQ(pkcs11::check_mechanism_param(m), c.rv) << std::hex << c.type << std::dec << " " << c.length;
    }
}

struct keygen_case {
    CK_MECHANISM_TYPE type;
    bool has_key_type;
    CK_KEY_TYPE key_type;
    bool has_value_len;
    CK_RV rv;
    bool sets;
    CK_KEY_TYPE set_to;
};

const keygen_case keygen_cases[] = {
    {CKM_DES_KEY_GEN, true, CKK_AES, false, CKR_TEMPLATE_INCONSISTENT, false, 0},
    {CKM_DES_KEY_GEN, false, 0, false, CKR_OK, true, CKK_DES},
    {CKM_DES_KEY_GEN, true, CKK_DES, false, CKR_OK, false, 0},
    {CKM_DES3_KEY_GEN, false, 0, false, CKR_OK, true, CKK_DES3},
    {CKM_AES_KEY_GEN, false, 0, true, CKR_OK, true, CKK_AES},
    {CKM_RC2_KEY_GEN, false, 0, true, CKR_OK, true, CKK_RC2},
    {CKM_RC4_KEY_GEN, true, CKK_RC2, true, CKR_TEMPLATE_INCONSISTENT, false, 0},
    {CKM_GENERIC_SECRET_KEY_GEN, false, 0, false, CKR_TEMPLATE_INCOMPLETE, false, 0},
    {CKM_GENERIC_SECRET_KEY_GEN, false, 0, true, CKR_OK, true, CKK_GENERIC_SECRET},
    {CKM_RSA_PKCS_KEY_PAIR_GEN, true, CKK_AES, false, CKR_OK, false, 0},
};

TEST(MechanismTable, KeyGenerationTemplateCheck) {
    for (const keygen_case& c : keygen_cases) {
        SCOPED_TRACE(testing::Message() << "mechanism 0x" << std::hex << c.type);
        bool sets = true;
        CK_KEY_TYPE set_to = 0xFFFF;
        EXPECT_EQ(pkcs11::check_keygen_template(c.type, c.has_key_type, c.key_type, c.has_value_len, &sets, &set_to),
                  c.rv);
        EXPECT_EQ(sets, c.sets);
        if (c.sets) {
            EXPECT_EQ(set_to, c.set_to);
        }
    }
}

struct length_case {
    CK_MECHANISM_TYPE type;
    bool has_value_len;
    CK_ULONG value_len;
    CK_RV rv;
    std::size_t length;
};

const length_case length_cases[] = {
    {CKM_DES_KEY_GEN, false, 0, CKR_OK, 8},
    {CKM_DES_KEY_GEN, true, 16, CKR_KEY_SIZE_RANGE, 0},
    {CKM_DES3_KEY_GEN, false, 0, CKR_OK, 24},
    {CKM_DES3_KEY_GEN, true, 16, CKR_OK, 16},
    {CKM_DES3_KEY_GEN, true, 8, CKR_KEY_SIZE_RANGE, 0},
    {CKM_AES_KEY_GEN, false, 0, CKR_ATTRIBUTE_TYPE_INVALID, 0},
    {CKM_AES_KEY_GEN, true, 0, CKR_KEY_SIZE_RANGE, 0},
    {CKM_AES_KEY_GEN, true, 24, CKR_OK, 24},
    {CKM_AES_KEY_GEN, true, 17, CKR_KEY_SIZE_RANGE, 0},
    {CKM_RC2_KEY_GEN, true, 128, CKR_OK, 128},
    {CKM_RC2_KEY_GEN, true, 129, CKR_KEY_SIZE_RANGE, 0},
    {CKM_RC4_KEY_GEN, true, 0, CKR_KEY_SIZE_RANGE, 0},
    {CKM_RC4_KEY_GEN, true, 256, CKR_OK, 256},
    {CKM_RC4_KEY_GEN, true, 257, CKR_KEY_SIZE_RANGE, 0},
    {CKM_AES_ECB, true, 16, CKR_MECHANISM_INVALID, 0},
};

TEST(MechanismTable, GeneratedKeyLengths) {
    for (const length_case& c : length_cases) {
        std::size_t length = 0;
        EXPECT_EQ(pkcs11::soft_key_length(c.type, c.has_value_len, c.value_len, &length), c.rv)
            << std::hex << c.type << std::dec << " " << c.value_len;
        if (c.rv == CKR_OK) {
            EXPECT_EQ(length, c.length);
        }
    }
}

struct factory_case {
    CK_MECHANISM_TYPE type;
    bool has_key;
    pkcs11_key_facts key;
    CK_RV rv;
    pkcs11_ctx_class ctx_class;
    bool sets;
    CK_KEY_TYPE set_to;
};

const pkcs11_key_facts session_secret{false, true, CKO_SECRET_KEY, false, 0};
const pkcs11_key_facts token_secret{true, true, CKO_SECRET_KEY, false, 0};
const pkcs11_key_facts session_aes{false, true, CKO_SECRET_KEY, true, CKK_AES};
const pkcs11_key_facts token_aes{true, true, CKO_SECRET_KEY, true, CKK_AES};
const pkcs11_key_facts token_generic{true, true, CKO_SECRET_KEY, true, CKK_GENERIC_SECRET};
const pkcs11_key_facts session_des2{false, true, CKO_SECRET_KEY, true, CKK_DES2};
const pkcs11_key_facts private_rsa{true, true, CKO_PRIVATE_KEY, true, CKK_RSA};
const pkcs11_key_facts private_untyped{true, true, CKO_PRIVATE_KEY, false, 0};

const factory_case factory_cases[] = {
    {CKM_RC4, true, token_secret, CKR_MECHANISM_INVALID, pkcs11_ctx_class::none, false, 0},
    {CKM_RC4, true, session_secret, CKR_OK, pkcs11_ctx_class::soft_rc4, true, CKK_RC4},
    {CKM_RC2_CBC, true, token_secret, CKR_MECHANISM_INVALID, pkcs11_ctx_class::none, false, 0},
    {CKM_RC2_ECB, true, session_secret, CKR_OK, pkcs11_ctx_class::soft_rc2, true, CKK_RC2},
    {CKM_AES_CBC, true, token_aes, CKR_OK, pkcs11_ctx_class::bluekey_symetric, false, 0},
    {CKM_AES_CBC, true, session_aes, CKR_OK, pkcs11_ctx_class::soft_aes, false, 0},
    {CKM_AES_ECB, true, session_secret, CKR_OK, pkcs11_ctx_class::soft_aes, true, CKK_AES},
    {CKM_AES_CBC_PAD, true, token_generic, CKR_OK, pkcs11_ctx_class::bluekey_symetric, false, 0},
    {CKM_RSA_PKCS, true, session_aes, CKR_KEY_TYPE_INCONSISTENT, pkcs11_ctx_class::none, false, 0},
    {CKM_RSA_PKCS, true, private_rsa, CKR_OK, pkcs11_ctx_class::hardware_rsa_pkcs, false, 0},
    {CKM_SHA256_RSA_PKCS, true, private_untyped, CKR_OK, pkcs11_ctx_class::hardware_shaxrsa_pkcs, true, CKK_RSA},
    {CKM_RSA_PKCS, true, session_secret, CKR_KEY_TYPE_INCONSISTENT, pkcs11_ctx_class::none, false, 0},
    {CKM_ECDSA, true, private_rsa, CKR_KEY_TYPE_INCONSISTENT, pkcs11_ctx_class::none, false, 0},
    {CKM_DES_ECB, true, session_aes, CKR_KEY_TYPE_INCONSISTENT, pkcs11_ctx_class::none, false, 0},
    {CKM_DES3_CBC, true, session_des2, CKR_OK, pkcs11_ctx_class::soft_des3, false, 0},
    {CKM_DES_CBC, true, private_untyped, CKR_KEY_TYPE_INCONSISTENT, pkcs11_ctx_class::none, false, 0},
    {CKM_SHA256_HMAC, true, session_aes, CKR_OK, pkcs11_ctx_class::soft_hash, false, 0},
    {CKM_SHA256, false, {}, CKR_OK, pkcs11_ctx_class::soft_hash, false, 0},
    {CKM_GENERIC_SECRET_KEY_GEN, true, token_secret, CKR_OK, pkcs11_ctx_class::bluekey_symetric, true,
     CKK_GENERIC_SECRET},
    {CKM_RSA_X9_31_KEY_PAIR_GEN, false, {}, CKR_OK, pkcs11_ctx_class::hardware_rsa_x931, false, 0},
    {CKM_SHA1_RSA_X9_31, true, private_untyped, CKR_OK, pkcs11_ctx_class::hardware_rsa_sha_x931, true, CKK_RSA},
};

TEST(MechanismTable, FactoryByMechanismAndKey) {
    for (const factory_case& c : factory_cases) {
        SCOPED_TRACE(testing::Message() << "mechanism 0x" << std::hex << c.type);
        const auto choice = pkcs11::choose_key_ctx(c.type, c.has_key ? &c.key : nullptr);
        EXPECT_EQ(choice.rv, c.rv);
        EXPECT_EQ(choice.ctx_class, c.ctx_class);
        EXPECT_EQ(choice.set_key_type, c.sets);
        if (c.sets) {
            EXPECT_EQ(choice.key_type, c.set_to);
        }
    }
}

TEST(MechanismTable, SoftContextsAreMadeForSoftClassesOnly) {
    const CK_MECHANISM m{CKM_AES_ECB, nullptr, 0};
    EXPECT_NE(pkcs11::make_soft_key_ctx(pkcs11_ctx_class::soft_aes, m), nullptr);
    EXPECT_EQ(pkcs11::make_soft_key_ctx(pkcs11_ctx_class::bluekey_symetric, m), nullptr);
    EXPECT_EQ(pkcs11::make_soft_key_ctx(pkcs11_ctx_class::hardware_rsa_pkcs, m), nullptr);
    EXPECT_EQ(pkcs11::make_soft_key_ctx(pkcs11_ctx_class::none, m), nullptr);
}

}  // namespace
