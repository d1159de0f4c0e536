// ECDSA keys generated in a container of the virtual token: the ECDSA
// context signs through the card's AsymSign, verifies the card's signature
// in software, and python3-cryptography and openssl accept it too.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "card_containers.h"
#include "ecdsa_ctx.h"
#include "formatted_token.h"

namespace {

using bytes = std::vector<std::uint8_t>;

const bytes oid_p256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
const bytes oid_p521 = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x23};

std::string hex(const bytes& b) {
    std::string out;
    char two[3];
    for (std::uint8_t c : b) {
        std::snprintf(two, sizeof two, "%02x", c);
        out += two;
    }
    return out;
}

class card_ecdsa_test : public formatted_token::test {
protected:
    // A key pair generated in container 0 (signature slot): its point.
    bytes generate(std::uint32_t bits) {
        EXPECT_EQ(solvantex::cardfs_generate_key_pair(h_, 0, solvantex::cardfs_spec_signature, bits), 0);
        bytes block(144);
        std::int32_t n = 144;
        EXPECT_EQ(solvantex::cardfs_read_public_key(h_, 0, solvantex::cardfs_spec_signature, block.data(), &n), 0);
        const std::size_t d = pkcs11::ec_coordinate_length(bits);
        bytes point{0x04};
        point.insert(point.end(), block.begin() + 4 + 68 - d, block.begin() + 4 + 68);
        point.insert(point.end(), block.begin() + 72 + 68 - d, block.begin() + 72 + 68);
        return point;
    }

    pkcs11::ecdsa_card_signer signer() {
        const std::uint16_t id = solvantex::cardfs_private_key_id(0, solvantex::cardfs_spec_signature);
        return [this, id](std::uint32_t hash, const std::uint8_t* data, std::int32_t length, std::uint8_t* out,
                          std::int32_t* out_length) {
            return solvantex::card_asym_sign(h_, id, hash, data, length, out, out_length);
        };
    }

    static pkcs11::pkcs11_ec_key key(CK_OBJECT_CLASS cls, const bytes& params, const bytes& point) {
        pkcs11::pkcs11_ec_key k;
        k.object_class = cls;
        k.has_params = k.has_point = true;
        k.params = params;
        k.point = point;
        return k;
    }
};

TEST_F(card_ecdsa_test, CardSignaturesVerifyHereInPythonAndInOpenssl) {
    struct mech {
        CK_MECHANISM_TYPE type;
        const char* name;
    };
    const mech mechs[] = {{CKM_ECDSA, "ECDSA"},
                          {CKM_ECDSA_SHA1, "ECDSA_SHA1"},
                          {CKM_ECDSA_SHA256, "ECDSA_SHA256"},
                          {CKM_ECDSA_SHA384, "ECDSA_SHA384"},
                          {CKM_ECDSA_SHA512, "ECDSA_SHA512"}};
    for (std::uint32_t bits : {256u, 521u}) {
        SCOPED_TRACE(bits);
        const bytes params = bits == 256 ? oid_p256 : oid_p521;
        if (bits == 521) {
            ASSERT_EQ(solvantex::cardfs_delete_container_keys(h_, 0), 0);
        }
        const bytes point = generate(bits);
        ASSERT_EQ(point.size(), 2 * pkcs11::ec_coordinate_length(bits) + 1);
        for (const mech& m : mechs) {
            SCOPED_TRACE(m.name);
            // Raw ECDSA gets a 64-byte hash value, which P-256 cuts to its order.
            const bytes message = m.type == CKM_ECDSA ? bytes(64, 0xA5) : bytes{'c', 'a', 'r', 'd'};
            CK_MECHANISM mechanism{m.type, nullptr, 0};
            pkcs11::pkcs11_hardware_ecdsa_ctx signing(mechanism, key(CKO_PRIVATE_KEY, params, {}), signer());
            ASSERT_EQ(signing.sign_init({}), CKR_OK);
            CK_ULONG n = 0;
            ASSERT_EQ(signing.sign(message.data(), static_cast<CK_ULONG>(message.size()), nullptr, &n), CKR_OK);
            bytes signature(n);
            ASSERT_EQ(signing.sign(message.data(), static_cast<CK_ULONG>(message.size()), signature.data(), &n),
                      CKR_OK);
            ASSERT_EQ(n, 2 * pkcs11::ec_coordinate_length(bits));

            pkcs11::pkcs11_hardware_ecdsa_ctx verifying(mechanism, key(CKO_PUBLIC_KEY, params, point), nullptr);
            ASSERT_EQ(verifying.verify_init({}), CKR_OK);
            EXPECT_EQ(verifying.verify(message.data(), static_cast<CK_ULONG>(message.size()), signature.data(), n),
                      CKR_OK);

            const std::string command = std::string(SOLVANTA_PYTHON " " ECDSA_CHECK " ") + m.name + " " +
                                        hex(message) + " " + hex(point) + " " + hex(signature);
            EXPECT_EQ(std::system(command.c_str()), 0) << command;
        }
    }
}

}  // namespace
