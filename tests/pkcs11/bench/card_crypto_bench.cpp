// What ECDSA and card AES cost: a P-256 signature through the ECDSA
// context against the bare AsymSign it sends, a P-256 verification through
// the context against mbed TLS called directly, and a token AES-256 key
// encrypting 64 KiB in CBC through C_Encrypt with the commands it sends.
// Needs the card environment (tests/harness/card_env.py start); the token
// is formatted by the run.
//
//   card_crypto_bench [rounds]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>


#include <pkcs11_vendor.h>

#include "card_commands.h"
#include "card_containers.h"
#include "card_device.h"
#include "card_device_source.h"
#include "card_pin.h"
#include "ecdsa_ctx.h"
#include "pkcs11_core.h"
#include "support/apdu_bench.h"
#include "support/p256_verify.h"
#include "support/vtoken_control.h"

namespace {

using test_support::median;
using test_support::time_us;
using bytes = std::vector<std::uint8_t>;

const bytes oid_p256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

template <class F>
double median_us(int rounds, F&& f) {
    std::vector<double> t;
    for (int i = 0; i < rounds; ++i) t.push_back(time_us(f));
    return median(t);
}

void report(const char* name, double ours, double reference, const char* against) {
    std::printf("%-34s %10.1f us  %-22s %10.1f us  ratio %.3f\n", name, ours, against, reference, ours / reference);
}

// The module's token, formatted, with the user logged in.
bool set_up_token(CK_SESSION_HANDLE* s) {
    pkcs11::Pkcs11Core::instance().set_device_source(std::make_unique<solvantex::card_device_source>());
    if (C_Initialize(nullptr) != CKR_OK) return false;
    CK_SLOT_ID slot = 0;
    CK_ULONG n = 1;
    if (C_GetSlotList(CK_TRUE, &slot, &n) != CKR_OK || n != 1) return false;
    CK_UTF8CHAR so[] = "87654321";
    CK_UTF8CHAR user[] = "11112222";
    CK_UTF8CHAR label[32];
    std::fill(label, label + 32, ' ');
    if (C_InitToken(slot, so, 8, label) != CKR_OK) return false;
    C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, s);
    C_Login(*s, CKU_SO, so, 8);
    C_InitPIN(*s, user, 8);
    C_Logout(*s);
    return C_Login(*s, CKU_USER, user, 8) == CKR_OK;
}

int ecdsa_figures(int rounds) {
    solvantex::card_handle h = 0;
    if (solvantex::open_device(test_support::card_reader, &h) != 0) return 1;
    const std::uint8_t pin[] = {'1', '1', '1', '1', '2', '2', '2', '2'};
    std::int32_t tries = 0;
    if (solvantex::cardfs_verify_pin(h, solvantex::cardfs_user_pin, pin, 8, &tries) != 0 ||
        solvantex::cardfs_generate_key_pair(h, 0, solvantex::cardfs_spec_signature, 256) != 0) {
        std::fprintf(stderr, "no P-256 key on the card\n");
        return 1;
    }
    bytes block(144);
    std::int32_t length = 144;
    solvantex::cardfs_read_public_key(h, 0, solvantex::cardfs_spec_signature, block.data(), &length);
    bytes point{0x04};
    point.insert(point.end(), block.begin() + 40, block.begin() + 72);
    point.insert(point.end(), block.begin() + 108, block.begin() + 140);

    const std::uint16_t id = solvantex::cardfs_private_key_id(0, solvantex::cardfs_spec_signature);
    const bytes hash(32, 0x5A);
    bytes signature(64);
    const auto bare_sign = [&] {
        std::int32_t n = 64;
        (void)solvantex::card_asym_sign(h, id, 0, hash.data(), 32, signature.data(), &n);
    };
    pkcs11::pkcs11_ec_key private_key;
    private_key.object_class = CKO_PRIVATE_KEY;
    private_key.has_params = true;
    private_key.params = oid_p256;
    CK_MECHANISM m{CKM_ECDSA, nullptr, 0};
    pkcs11::pkcs11_hardware_ecdsa_ctx signer(m, private_key, [&](std::uint32_t hash_id, const std::uint8_t* data,
                                                                 std::int32_t n, std::uint8_t* out, std::int32_t* out_n) {
        return solvantex::card_asym_sign(h, id, hash_id, data, n, out, out_n);
    });
    const auto ctx_sign = [&] {
        CK_ULONG n = 64;
        (void)signer.sign_init({});
        (void)signer.sign(hash.data(), 32, signature.data(), &n);
    };
    bare_sign();
    ctx_sign();
    // Interleaved, so that both see the same card.
    double ours = 0, bare = 0;
    test_support::measure_interleaved(rounds, ctx_sign, bare_sign, ours, bare);
    report("P-256 sign, context", ours, bare, "bare AsymSign");

    pkcs11::pkcs11_ec_key public_key = private_key;
    public_key.object_class = CKO_PUBLIC_KEY;
    public_key.has_point = true;
    public_key.point = point;
    pkcs11::pkcs11_hardware_ecdsa_ctx verifier(m, public_key, nullptr);
    CK_RV verified = CKR_OK;
    const auto ctx_verify = [&] {
        (void)verifier.verify_init({});
        verified |= verifier.verify(hash.data(), 32, signature.data(), 64);
    };
    int direct_failed = 0;
    const auto direct_verify = [&] {
        direct_failed |=
            test_support::p256_verify_direct(point.data(), point.size(), hash.data(), 32, signature.data());
    };
    test_support::measure_interleaved(rounds, ctx_verify, direct_verify, ours, bare);
    report("P-256 verify, context", ours, bare, "mbed TLS directly");
    solvantex::close_device(h);
    if (verified != CKR_OK || direct_failed != 0) {
        std::fprintf(stderr, "a verification failed\n");
        return 1;
    }
    return 0;
}

int aes_figure(test_support::vtoken_control& vt, CK_SESSION_HANDLE s, int rounds) {
    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    CK_KEY_TYPE type = CKK_AES;
    CK_BBOOL yes = CK_TRUE;
    CK_BYTE value[32];
    for (int i = 0; i < 32; ++i) value[i] = static_cast<CK_BYTE>(i * 3 + 1);
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &type, sizeof type},
                           {CKA_TOKEN, &yes, sizeof yes},  {CKA_ENCRYPT, &yes, sizeof yes},
                           {CKA_VALUE, value, sizeof value}};
    CK_OBJECT_HANDLE key = 0;
    if (C_CreateObject(s, tmpl, 5, &key) != CKR_OK) {
        std::fprintf(stderr, "no token AES key\n");
        return 1;
    }
    std::vector<CK_BYTE> data(64 * 1024, 0x33), out(64 * 1024);
    CK_BYTE iv[16] = {};
    CK_MECHANISM m{CKM_AES_CBC, iv, sizeof iv};
    CK_RV rv = CKR_OK;
    const auto encrypt = [&] {
        CK_ULONG n = static_cast<CK_ULONG>(out.size());
        rv |= C_EncryptInit(s, &m, key);
        rv |= C_Encrypt(s, data.data(), static_cast<CK_ULONG>(data.size()), out.data(), &n);
    };
    vt.clear_log();
    encrypt();
    const std::size_t apdus = vt.commands().size();
    const double t = median_us(rounds, encrypt);
    std::printf("%-34s %10.1f us  %zu commands (Init included), %.1f KiB/s\n", "card AES-256-CBC 64 KiB", t, apdus,
                64.0 / (t / 1e6));
    return rv == CKR_OK ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    test_support::vtoken_control vt;
    vt.fresh_card();
    vt.call("preset", {{"name", "factory"}});
    CK_SESSION_HANDLE s = 0;
    if (!set_up_token(&s)) {
        std::fprintf(stderr, "no token: is the card environment running?\n");
        return 1;
    }
    int failed = aes_figure(vt, s, std::max(1, rounds / 10));
    failed |= ecdsa_figures(rounds);
    C_Finalize(nullptr);
    return failed;
}
