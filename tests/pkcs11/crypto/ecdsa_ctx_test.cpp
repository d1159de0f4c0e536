// The ECDSA context without a card: verification against signatures made
// with python3-cryptography on both curves, the point forms it takes, the
// signature checks, and the sign path over a scripted card signer.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ecdsa_ctx.h"

namespace {

using pkcs11::pkcs11_ec_key;
using pkcs11::pkcs11_hardware_ecdsa_ctx;
using bytes = std::vector<std::uint8_t>;

bytes from_hex(const std::string& hex) {
    bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

const bytes oid_p256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
const bytes oid_p521 = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x23};
const bytes oid_p384 = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22};

struct vector_case {
    const char* curve;
    CK_MECHANISM_TYPE mechanism;
    const char* data;
    const char* signature;
};

// Made with python3-cryptography: fixed private keys, signatures as r || s.
const char* const p256_point =
    "04f6790829324b72a58feae011f819f6154e1a37fdb7ecbcf4860dfd79e78f02a0fa4c2132c3a5676b356c186622a629dffa7a1a7835d0d65379c159abff95a521";
const char* const p521_point =
    "0400a360797917787b6cff3b1ab4eaa27884070f6303dfa4933d4a68fd2cc0cd77e055f45606a579d951a75f06d1fffecc31cd039a3e666a94152d9490b743464d9d0e00dcd9ea0fbd53083184902b6dc181a88f0421a5d2c01346da9ddae68abe39d216a2f54b704ebcddc15ff21b3ab069c99c3b5b7485bbc90d5312259186e365fd714f";
const vector_case vectors[] = {
    {"p256", CKM_ECDSA_SHA1, "6d65737361676520666f72207032353620434b4d5f45434453415f53484131",
     "ffd6918e5013d9491c6a9d281740cc35133888483f576465e022fffd9b174e7353ac9f44ada52d78de6415b58112375949ce7d129fbfc81cb25f7ba23340de3c"},
    {"p256", CKM_ECDSA_SHA256, "6d65737361676520666f72207032353620434b4d5f45434453415f534841323536",
     "f2829aa4eb634cb6c48b3fd7cc75448ac045beb6222507ebeb0be2de174249a58e412bb0446be7b4ebfa060d774075e78cb747a4227432b6a4e339a4327c4873"},
    {"p256", CKM_ECDSA_SHA384, "6d65737361676520666f72207032353620434b4d5f45434453415f534841333834",
     "cded14c0d56b18954a7b91c61ebd5733793755a4be09334a557ec88a3c95a9a6681f06cf71855b55781dc02497e28978614063052cbd3bf8fd9ae6d49954004a"},
    {"p256", CKM_ECDSA_SHA512, "6d65737361676520666f72207032353620434b4d5f45434453415f534841353132",
     "61fd0376af93dc02b10987ec5e6c6a9e49e367486ebb00d5513451d2a86c823c50a8f4794cd9ab016c810c337431f7aa8ba7f2cf5e03fb2f28d27e3e6d494572"},
    {"p256", CKM_ECDSA, "2cfa8e95bee5ef7844a592a1e0f643b19d57a22bd96b5a0e3efaa797b069062584592a2b8b804512a547a0939ca196517b8f0b0ecff20be901fa771b58804407",
     "a0ffcfffc3e6394bb0930868c1bc35a150d4abe02e5945eb1c6a82a935187efd9e8fac9b7fb56fcc33f944a16802197f63e08b073debe4e0bfa868ed2413fd35"},
    {"p521", CKM_ECDSA_SHA1, "6d65737361676520666f72207035323120434b4d5f45434453415f53484131",
     "009b9ece6324b417f46baa1bf006d72d8480f6e94723ac4122aff4e99f049902e884936bfb2a9e276ae5566637916190006015b8f7d438a3a65716ecf9c2ed205a8f0085a760668d7f7b17442809d4917dafe22b618eb2f7598a743c8e856b725df5ecf0a46549753bcdb19a1091a36114e30cdc667caba6b0c4afefa3f9a88793435ad2"},
    {"p521", CKM_ECDSA_SHA256, "6d65737361676520666f72207035323120434b4d5f45434453415f534841323536",
     "01180cc52326870bbbaa0aa38bd3707b93e1dce227bcecfb1d8ba63121840bc2ca1f1e852369af83919fbf93015ef627f6a084cea047d67c4b332082caf9c8856b3e002e5622306c6a568c2a45315c670869020674ae2b8aad18a2e32deaeb9b510df6210025ed662ac7583b0e1bf22cff4f3b5c27b309861e4b3f6ae4ef84606912a0bb"},
    {"p521", CKM_ECDSA_SHA384, "6d65737361676520666f72207035323120434b4d5f45434453415f534841333834",
     "00689833f01249fa9f50b07876d38bcf50bdeb27006406eb1506fbf77178602bb733b607408cdd5ba5e56d6b5fc93dc8ce90eb887fe006a09a6945907b94efa9807e0156d81c51a40511d91cbdb5b60d056a88c96abead176855208959f973dd6c1d8c5eb7d902a45de56d91f2395bfa0567e851be05b8b155ce250846b9dc12012f9a09"},
    {"p521", CKM_ECDSA_SHA512, "6d65737361676520666f72207035323120434b4d5f45434453415f534841353132",
     "0073b59702604ca180ab0e381557a90d0a986f9e64d3fb636055953a673913e928fc7db0d5bb82a166396bd60b81196c864ec8f0d17f21444dc94c7aa318d09bc284015dfdf3893a4331181e771cbbefc1931c56fc36d2805e81590c0c4557b3198a617a59450d8780560440974b77904798a7841a070ba31ee5eadbf327653b00844b9c"},
    {"p521", CKM_ECDSA, "dd1aa856559653d0ef21566d88015c829dee56c21eb31eb690c46fe67b0aaf8db807527aa8446b414eb7c09c3c30ca66d5183c51da953fa909b0480b79cbba40",
     "011a464f7c649aecdf600b96ca5a130a375c71acbd2be94ce0671c40de38119223a99e24a8392065509395f605467691822af794d8f7525ebe7bd5c79d95abfb23ab0031539de5d5353e6720bbe3706d54674e297805a0a2ee41647833c86bf6a72e6cc6e886fcd1726451b8de6f3472761d1d63eff98a04a367a3f991c397b30ee28951"},
};

pkcs11_ec_key key_of(CK_OBJECT_CLASS cls, const bytes& params, const bytes& point) {
    pkcs11_ec_key k;
    k.object_class = cls;
    k.has_params = true;
    k.params = params;
    k.has_point = true;
    k.point = point;
    return k;
}

pkcs11_ec_key public_key(const std::string& curve, const bytes& point) {
    return key_of(CKO_PUBLIC_KEY, curve == "p256" ? oid_p256 : oid_p521, point);
}

bytes point_of(const std::string& curve) { return from_hex(curve == "p256" ? p256_point : p521_point); }

// VerifyInit, then the one-shot Verify.
CK_RV verify(const pkcs11_ec_key& key, CK_MECHANISM_TYPE type, const bytes& data, const bytes& signature) {
    CK_MECHANISM m{type, nullptr, 0};
    pkcs11_hardware_ecdsa_ctx ctx(m, key, nullptr);
    const CK_RV rv = ctx.verify_init({});
    if (rv != CKR_OK) return rv;
    return ctx.verify(data.data(), static_cast<CK_ULONG>(data.size()), signature.data(),
                      static_cast<CK_ULONG>(signature.size()));
}

// A DER OCTET STRING around the point.
bytes wrapped(const bytes& point) {
    bytes out{0x04};
    if (point.size() >= 0x80) out.push_back(0x81);
    out.push_back(static_cast<std::uint8_t>(point.size()));
    out.insert(out.end(), point.begin(), point.end());
    return out;
}

TEST(ecdsa_ctx_test, SignaturesOfTheReferenceVerifyOneShotAndInParts) {
    for (const vector_case& c : vectors) {
        SCOPED_TRACE(std::string(c.curve) + " " + std::to_string(c.mechanism));
        const pkcs11_ec_key key = public_key(c.curve, point_of(c.curve));
        const bytes data = from_hex(c.data);
        const bytes signature = from_hex(c.signature);
        EXPECT_EQ(verify(key, c.mechanism, data, signature), CKR_OK);

        CK_MECHANISM m{c.mechanism, nullptr, 0};
        pkcs11_hardware_ecdsa_ctx ctx(m, key, nullptr);
        ASSERT_EQ(ctx.verify_init({}), CKR_OK);
        ASSERT_EQ(ctx.verify_update(data.data(), 7), CKR_OK);
        ASSERT_EQ(ctx.verify_update(data.data() + 7, static_cast<CK_ULONG>(data.size() - 7)), CKR_OK);
        EXPECT_EQ(ctx.verify_final(signature.data(), static_cast<CK_ULONG>(signature.size())), CKR_OK);

        bytes changed = data;
        changed[0] ^= 1;
        EXPECT_EQ(verify(key, c.mechanism, changed, signature), CKR_SIGNATURE_INVALID);
        bytes forged = signature;
        forged[signature.size() / 2 + 3] ^= 0x40;
        EXPECT_EQ(verify(key, c.mechanism, data, forged), CKR_SIGNATURE_INVALID);
    }
}

TEST(ecdsa_ctx_test, PointsAreTakenRawOrWrappedAndNothingElse) {
    for (const char* curve : {"p256", "p521"}) {
        SCOPED_TRACE(curve);
        const vector_case& c = vectors[std::string(curve) == "p256" ? 1 : 6];
        const bytes data = from_hex(c.data);
        const bytes signature = from_hex(c.signature);
        const bytes raw = point_of(curve);
        EXPECT_EQ(verify(public_key(curve, raw), c.mechanism, data, signature), CKR_OK);
        EXPECT_EQ(verify(public_key(curve, wrapped(raw)), c.mechanism, data, signature), CKR_OK);

        bytes compressed(raw.begin(), raw.begin() + 1 + (raw.size() - 1) / 2);
        compressed[0] = 0x02;
        bytes longer = raw;
        longer.push_back(0);
        bytes bad_wrap = wrapped(raw);
        bad_wrap[bad_wrap.size() - raw.size() - 1] ^= 1;  // a length that does not match
        bytes hybrid = raw;
        hybrid[0] = 0x06;
        bytes long_form_short = raw;  // a P-256 point in long form is not DER
        long_form_short.insert(long_form_short.begin(), {0x04, 0x81, static_cast<std::uint8_t>(raw.size())});
        std::vector<bytes> bad = {compressed, longer, bad_wrap, hybrid, wrapped(longer), bytes(138, 0x04), bytes{}};
        if (raw.size() < 0x80) bad.push_back(long_form_short);
        for (const bytes& point : bad)
            EXPECT_EQ(verify(public_key(curve, point), c.mechanism, data, signature), CKR_ATTRIBUTE_VALUE_INVALID)
                << point.size();

        // A point that is not on the curve is a signature that cannot verify.
        bytes off = raw;
        off[raw.size() - 1] ^= 1;
        EXPECT_EQ(verify(public_key(curve, off), c.mechanism, data, signature), CKR_SIGNATURE_INVALID);
    }
}

TEST(ecdsa_ctx_test, ZeroAndOutOfRangeHalvesAreInvalid) {
    for (const char* curve : {"p256", "p521"}) {
        SCOPED_TRACE(curve);
        const vector_case& c = vectors[std::string(curve) == "p256" ? 1 : 6];
        const bytes data = from_hex(c.data);
        const bytes signature = from_hex(c.signature);
        const std::size_t d = signature.size() / 2;
        bytes n = from_hex(std::string(curve) == "p256" ? "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551"
                                                        : "01fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffa51868783bf2f966b7fcc0148f709a5d03bb5c9b8899c47aebb6fb71e91386409");
        ASSERT_EQ(n.size(), d);
        const pkcs11_ec_key key = public_key(curve, point_of(curve));
        for (int half = 0; half < 2; ++half) {
            bytes zero = signature;
            std::fill(zero.begin() + half * d, zero.begin() + (half + 1) * d, 0);
            EXPECT_EQ(verify(key, c.mechanism, data, zero), CKR_SIGNATURE_INVALID);
            bytes order = signature;
            std::copy(n.begin(), n.end(), order.begin() + half * d);
            EXPECT_EQ(verify(key, c.mechanism, data, order), CKR_SIGNATURE_INVALID);
            bytes ones = signature;
            std::fill(ones.begin() + half * d, ones.begin() + (half + 1) * d, 0xFF);
            EXPECT_EQ(verify(key, c.mechanism, data, ones), CKR_SIGNATURE_INVALID);
        }
        bytes shorter(signature.begin(), signature.end() - 1);
        EXPECT_EQ(verify(key, c.mechanism, data, shorter), CKR_SIGNATURE_LEN_RANGE);
    }
}

TEST(ecdsa_ctx_test, CurvesAndKeyClassesAreChecked) {
    const bytes data(32, 1);
    const bytes signature(64, 1);
    const bytes point = point_of("p256");
    EXPECT_EQ(verify(key_of(CKO_PUBLIC_KEY, oid_p384, point), CKM_ECDSA, data, signature), CKR_ATTRIBUTE_VALUE_INVALID);
    pkcs11_ec_key none = key_of(CKO_PUBLIC_KEY, {}, point);
    none.has_params = false;
    EXPECT_EQ(verify(none, CKM_ECDSA, data, signature), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(verify(key_of(CKO_PUBLIC_KEY, bytes(257, 6), point), CKM_ECDSA, data, signature), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(verify(key_of(CKO_PRIVATE_KEY, oid_p256, point), CKM_ECDSA, data, signature), CKR_TEMPLATE_INCONSISTENT);

    CK_MECHANISM m{CKM_ECDSA, nullptr, 0};
    pkcs11_hardware_ecdsa_ctx ctx(m, key_of(CKO_PUBLIC_KEY, oid_p256, point), nullptr);
    EXPECT_EQ(ctx.sign_init({}), CKR_TEMPLATE_INCONSISTENT);
    EXPECT_EQ(ctx.encrypt_init({}), CKR_MECHANISM_INVALID);
    EXPECT_EQ(ctx.decrypt_init({}), CKR_TEMPLATE_INCONSISTENT);
}

// A card that signs with a reply of a chosen length and counts its calls.
struct scripted_card {
    std::size_t reply = 132;
    int calls = 0;
    std::uint32_t hash_id = 0xFFFFFFFF;
    bytes data;
    pkcs11::ecdsa_card_signer signer() {
        return [this](std::uint32_t hash, const std::uint8_t* in, std::int32_t length, std::uint8_t* out,
                      std::int32_t* out_length) {
            ++calls;
            hash_id = hash;
            data.assign(in, in + length);
            if (static_cast<std::size_t>(*out_length) < reply) return 3;
            for (std::size_t i = 0; i < reply; ++i) out[i] = static_cast<std::uint8_t>(i);
            *out_length = static_cast<std::int32_t>(reply);
            return 0;
        };
    }
};

TEST(ecdsa_ctx_test, P521SizeQueryThenCallSucceeds) {
    scripted_card card;
    CK_MECHANISM m{CKM_ECDSA_SHA256, nullptr, 0};
    pkcs11_hardware_ecdsa_ctx ctx(m, key_of(CKO_PRIVATE_KEY, oid_p521, {}), card.signer());
    ASSERT_EQ(ctx.sign_init({}), CKR_OK);
    const bytes message = {'a', 'b', 'c'};
    CK_ULONG n = 0;
    ASSERT_EQ(ctx.sign(message.data(), 3, nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 132u);
    bytes out(132);
    n = 131;
    EXPECT_EQ(ctx.sign(message.data(), 3, out.data(), &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 132u);
    EXPECT_EQ(card.calls, 0);
    n = 132;
    ASSERT_EQ(ctx.sign(message.data(), 3, out.data(), &n), CKR_OK);
    EXPECT_EQ(n, 132u);
    EXPECT_EQ(card.calls, 1);
    EXPECT_EQ(card.hash_id, pkcs11::algo_sha256);
    // The card is given the SHA-256 of the message.
    EXPECT_EQ(card.data, from_hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    EXPECT_EQ(out[131], 131);
    EXPECT_TRUE(ctx.finished());
}

TEST(ecdsa_ctx_test, CardSignaturesOfAnotherLengthAreRefused) {
    for (std::size_t reply : {63u, 65u, 136u}) {
        scripted_card card;
        card.reply = reply;
        CK_MECHANISM m{CKM_ECDSA, nullptr, 0};
        pkcs11_hardware_ecdsa_ctx ctx(m, key_of(CKO_PRIVATE_KEY, reply == 136 ? oid_p521 : oid_p256, {}), card.signer());
        ASSERT_EQ(ctx.sign_init({}), CKR_OK);
        bytes out(200);
        CK_ULONG n = 200;
        EXPECT_EQ(ctx.sign(out.data(), 32, out.data(), &n), CKR_DEVICE_ERROR) << reply;
    }
}

TEST(ecdsa_ctx_test, RawDataIsAtMost256Bytes) {
    scripted_card card;
    card.reply = 64;
    CK_MECHANISM m{CKM_ECDSA, nullptr, 0};
    pkcs11_hardware_ecdsa_ctx ctx(m, key_of(CKO_PRIVATE_KEY, oid_p256, {}), card.signer());
    const bytes data(257, 9);
    ASSERT_EQ(ctx.sign_init({}), CKR_OK);
    ASSERT_EQ(ctx.sign_update(data.data(), 200), CKR_OK);
    ASSERT_EQ(ctx.sign_update(data.data(), 56), CKR_OK);
    bytes out(64);
    CK_ULONG n = 64;
    ASSERT_EQ(ctx.sign_final(out.data(), &n), CKR_OK);
    EXPECT_EQ(card.data.size(), 256u);
    EXPECT_EQ(card.hash_id, 0u);

    ASSERT_EQ(ctx.sign_init({}), CKR_OK);
    ASSERT_EQ(ctx.sign_update(data.data(), 200), CKR_OK);
    EXPECT_EQ(ctx.sign_update(data.data(), 57), CKR_DATA_LEN_RANGE);
    ASSERT_EQ(ctx.sign_init({}), CKR_OK);
    n = 64;
    EXPECT_EQ(ctx.sign(data.data(), 257, out.data(), &n), CKR_DATA_LEN_RANGE);
    EXPECT_EQ(card.calls, 1);
}

}  // namespace
