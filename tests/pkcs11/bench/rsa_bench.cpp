// What RSA-2048 costs through the module's RSA contexts: a signature
// (SHA256-RSA-PKCS) and a decryption (RSA-PKCS) on the card, each against
// the bare round trips of the commands it sends (counted in the virtual
// token's log, replayed with SCardTransmit on a connection of our own), and
// a software verification against mbed TLS called directly.
// Needs the card environment (tests/harness/card_env.py start); the token
// is formatted by the run.
//
//   rsa_bench [calls-per-figure]
#include <mbedtls/md.h>
#include <mbedtls/rsa.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "card_commands.h"
#include "card_containers.h"
#include "card_device.h"
#include "card_pin.h"
#include "card_profile.h"
#include "containers/rsa_card_port.h"
#include "pkcs11/crypto/rsa_scripted_card.h"
#include "rsa_ctx.h"
#include "support/apdu_bench.h"

using rsa_test::bytes;
using test_support::bare_card;

int main(int argc, char** argv) {
    using namespace solvantex;
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    test_support::vtoken_control vt;
    vt.fresh_card();
    vt.call("preset", {{"name", "factory"}});
    set_module_sm_flag(0);
    card_handle h = 0;
    if (open_device(test_support::card_reader, &h) != 0) {
        std::fprintf(stderr, "no token: is the card environment running?\n");
        return 1;
    }
    std::uint8_t info[128];
    std::int32_t info_length = sizeof info;
    const std::string so = "87654321", user = "11112222";
    cardfs_format_parameters p{info,
                               0,
                               reinterpret_cast<const std::uint8_t*>(so.data()),
                               so.size(),
                               10,
                               reinterpret_cast<const std::uint8_t*>(user.data()),
                               user.size(),
                               10,
                               2};
    std::int32_t warning = 0;
    if (card_get_data(h, 0x0101, info, &info_length) != 0 || cardfs_format_token(h, p, &warning) != 0 ||
        cardfs_create_container(h, 0, "bench") != 0 || cardfs_generate_key_pair(h, 0, 2, 2048) != 0) {
        std::fprintf(stderr, "the token could not be prepared\n");
        return 1;
    }
    bytes block(264);
    std::int32_t length = static_cast<std::int32_t>(block.size());
    if (cardfs_read_public_key(h, 0, 2, block.data(), &length) != 0) return 1;
    const bytes n(block.begin() + 4, block.begin() + 260);
    const bytes e = pkcs11::rsa_minimal_exponent(block.data() + 260, 4);
    const std::uint16_t id = cardfs_private_key_id(0, 2);
    auto card = std::make_shared<pkcs11::pkcs11_card_rsa_port>([h](card_handle& out) {
        out = h;
        return 0;
    });
    const auto key = [&](CK_OBJECT_CLASS c) { return std::make_unique<rsa_test::fixed_key>(c, n, e, id); };

    const bytes message(1000, 0x5A);
    bytes signature(256), plain(256), cipher(256);
    CK_ULONG out = 256;
    const CK_MECHANISM sha256_rsa{CKM_SHA256_RSA_PKCS, nullptr, 0}, rsa_pkcs{CKM_RSA_PKCS, nullptr, 0};
    pkcs11::pkcs11_hardware_shaxrsa_pkcs_ctx signer(sha256_rsa, card, key(CKO_PRIVATE_KEY));
    pkcs11::pkcs11_hardware_shaxrsa_pkcs_ctx verifier(sha256_rsa, card, key(CKO_PUBLIC_KEY));
    pkcs11::pkcs11_hardware_rsa_pkcs_ctx encrypter(rsa_pkcs, card, key(CKO_PUBLIC_KEY));
    pkcs11::pkcs11_hardware_rsa_pkcs_ctx decrypter(rsa_pkcs, card, key(CKO_PRIVATE_KEY));
    encrypter.encrypt_init({});
    if (encrypter.encrypt(message.data(), 100, cipher.data(), &out) != CKR_OK) return 1;

    struct figure {
        const char* name;
        std::function<CK_RV()> call;
    };
    const figure figures[] = {
        {"sign SHA256-RSA-PKCS",
         [&] {
             out = 256;
             signer.sign_init({});
             return signer.sign(message.data(), message.size(), signature.data(), &out);
         }},
        {"decrypt RSA-PKCS",
         [&] {
             out = 256;
             decrypter.decrypt_init({});
             return decrypter.decrypt(cipher.data(), cipher.size(), plain.data(), &out);
         }},
    };
    bare_card bare;
    if (!bare.open()) return 1;
    std::printf("RSA-2048 on the card, %d calls each\n", rounds);
    std::printf("%-22s %6s %12s %12s %9s\n", "call", "APDUs", "context us", "bare us", "added");
    for (const figure& f : figures) {
        test_support::apdu_figure fig;
        if (!test_support::measure_card_call(f.name, vt, bare, rounds, false, f.call, [] {}, fig)) return 1;
        std::printf("%-22s %6zu %12.1f %12.1f %8.1f%%\n", f.name, fig.apdus, fig.module_us, fig.bare_us, fig.added());
    }

    // Verification in software against mbed TLS called directly.
    mbedtls_rsa_context rsa;
    mbedtls_rsa_init(&rsa, MBEDTLS_RSA_PKCS_V15, 0);
    mbedtls_rsa_import_raw(&rsa, n.data(), n.size(), nullptr, 0, nullptr, 0, nullptr, 0, e.data(), e.size());
    mbedtls_rsa_complete(&rsa);
    const int verify_rounds = rounds * 20;
    CK_RV rv = CKR_OK;
    int status = 0;
    double c = 0, d = 0;
    test_support::measure_interleaved(
        verify_rounds,
        [&] {
            verifier.verify_init({});
            rv |= verifier.verify(message.data(), message.size(), signature.data(), 256);
        },
        [&] {
            std::uint8_t digest[32];
            mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), message.data(), message.size(), digest);
            status |= mbedtls_rsa_pkcs1_verify(&rsa, nullptr, nullptr, MBEDTLS_RSA_PUBLIC, MBEDTLS_MD_SHA256, 32,
                                               digest, signature.data());
        },
        c, d);
    if (rv != CKR_OK || status != 0) {
        std::fprintf(stderr, "verify: 0x%lx / %d\n", static_cast<unsigned long>(rv), status);
        return 1;
    }
    mbedtls_rsa_free(&rsa);
    std::printf("%-22s %6s %12.1f %12.1f %8.1f%%  (mbed TLS direct, %d calls)\n", "verify SHA256-RSA-PKCS", "0",
                c, d, (c - d) / d * 100.0, verify_rounds);
    close_device(h);
    return 0;
}
