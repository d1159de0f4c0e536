// Software AES-128-CBC, 3DES-CBC, RC4 and SHA-256 over 1 MiB: through the
// module's contexts (Init and one-shot Encrypt or Digest, as C_EncryptInit
// plus C_Encrypt drive them), through the module's C_EncryptInit/C_Encrypt
// and C_DigestInit/C_Digest with session keys when a token is present (the
// card environment runs; the run formats the token), against the same algorithm called directly (mbed
// TLS, or the module's own engine for RC4). They are interleaved round by
// round so that drift hits all alike; the median of the rounds is reported.
//
//   soft_crypto_bench [rounds]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include <mbedtls/aes.h>
#include <mbedtls/des.h>
#include <mbedtls/md.h>

#include "cipher_engines.h"
#include "card_device_source.h"
#include "mechanism_table.h"
#include "pkcs11_core.h"
#include "support/bench_timing.h"

#include <pkcs11_vendor.h>

namespace {

using test_support::median;
constexpr std::size_t data_size = 1 << 20;

template <class F>
double time_ms(F&& f) {
    return test_support::time_us(f) / 1000.0;
}

std::vector<unsigned char> pattern(std::size_t n, unsigned seed) {
    std::vector<unsigned char> v(n);
    for (auto& b : v) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<unsigned char>(seed >> 16);
    }
    return v;
}

// Through a context: Init, then the one-shot into a buffer of the size asked.
void through_context(CK_MECHANISM_TYPE type, const std::vector<unsigned char>& key,
                     const std::vector<unsigned char>& iv, const std::vector<unsigned char>& in,
                     std::vector<unsigned char>& out) {
    CK_MECHANISM m{type, iv.empty() ? nullptr : const_cast<unsigned char*>(iv.data()),
                   static_cast<CK_ULONG>(iv.size())};
    auto ctx = pkcs11::make_soft_key_ctx(pkcs11::choose_key_ctx(type, nullptr).ctx_class, m);
    CK_ULONG length = static_cast<CK_ULONG>(out.size());
    CK_RV rv;
    if (type == CKM_SHA256) {
        rv = ctx->digest_init();
        if (rv == CKR_OK) rv = ctx->digest(in.data(), static_cast<CK_ULONG>(in.size()), out.data(), &length);
    } else {
        rv = ctx->encrypt_init({key.data(), key.size()});
        if (rv == CKR_OK) rv = ctx->encrypt(in.data(), static_cast<CK_ULONG>(in.size()), out.data(), &length);
    }
    if (rv != CKR_OK) {
        std::fprintf(stderr, "context failed: 0x%lx\n", static_cast<unsigned long>(rv));
        std::exit(1);
    }
}

struct row {
    const char* name;
    CK_MECHANISM_TYPE type;
    std::size_t key_size;
    std::size_t iv_size;
    CK_MECHANISM_TYPE key_gen;
};

void check(CK_RV rv, const char* what) {
    if (rv != CKR_OK) {
        std::fprintf(stderr, "%s failed: 0x%lx\n", what, static_cast<unsigned long>(rv));
        std::exit(1);
    }
}

// The module with a read-write session on the first token, or none.
struct module_session {
    CK_SESSION_HANDLE session = 0;
    bool open() {
        pkcs11::Pkcs11Core::instance().set_device_source(std::make_unique<solvantex::card_device_source>());
        check(C_Initialize(nullptr), "C_Initialize");
        CK_SLOT_ID slot = 0;
        CK_ULONG count = 1;
        if (C_GetSlotList(CK_TRUE, &slot, &count) != CKR_OK || count == 0) return false;
        // The token's random generator (the keys' values) needs a formatted
        // token: the run formats it with the known SO PIN.
        CK_UTF8CHAR so_pin[] = "87654321";
        CK_UTF8CHAR label[33] = "soft_crypto_bench               ";
        check(C_InitToken(slot, so_pin, 8, label), "C_InitToken");
        check(C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session), "C_OpenSession");
        return true;
    }
    ~module_session() { C_Finalize(nullptr); }

    // A session key of the row's algorithm from the token's generator.
    CK_OBJECT_HANDLE key(const row& r) {
        CK_BBOOL yes = CK_TRUE;
        CK_BBOOL no = CK_FALSE;
        CK_ULONG length = r.key_size;
        CK_ATTRIBUTE tmpl[] = {{CKA_TOKEN, &no, 1}, {CKA_PRIVATE, &no, 1}, {CKA_ENCRYPT, &yes, 1},
                               {CKA_VALUE_LEN, &length, sizeof length}};
        CK_MECHANISM m{r.key_gen, nullptr, 0};
        CK_OBJECT_HANDLE handle = 0;
        check(C_GenerateKey(session, &m, tmpl, 4, &handle), "C_GenerateKey");
        return handle;
    }

    void run(const row& r, CK_OBJECT_HANDLE key, const std::vector<unsigned char>& iv,
             const std::vector<unsigned char>& in, std::vector<unsigned char>& out) {
        CK_MECHANISM m{r.type, iv.empty() ? nullptr : const_cast<unsigned char*>(iv.data()),
                       static_cast<CK_ULONG>(iv.size())};
        CK_ULONG length = static_cast<CK_ULONG>(out.size());
        auto* data = const_cast<unsigned char*>(in.data());
        if (r.type == CKM_SHA256) {
            check(C_DigestInit(session, &m), "C_DigestInit");
            check(C_Digest(session, data, static_cast<CK_ULONG>(in.size()), out.data(), &length), "C_Digest");
        } else {
            check(C_EncryptInit(session, &m, key), "C_EncryptInit");
            check(C_Encrypt(session, data, static_cast<CK_ULONG>(in.size()), out.data(), &length), "C_Encrypt");
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 21;
    const auto in = pattern(data_size, 1);
    std::vector<unsigned char> out(data_size + 64);
    const row rows[] = {
        {"AES-128-CBC", CKM_AES_CBC, 16, 16, CKM_AES_KEY_GEN},
        {"3DES-CBC", CKM_DES3_CBC, 24, 8, CKM_DES3_KEY_GEN},
        {"RC4", CKM_RC4, 16, 0, CKM_RC4_KEY_GEN},
        {"SHA-256", CKM_SHA256, 0, 0, 0},
    };
    module_session module;
    const bool with_module = module.open();
    if (!with_module) std::printf("(no token: the C_* column is left out)\n");
    std::printf("%-12s %12s %12s %10s %12s %10s   (1 MiB, median of %d rounds)\n", "algorithm", "context ms",
                "direct ms", "overhead", "C_* ms", "overhead", rounds);
    for (const row& r : rows) {
        const auto key = pattern(r.key_size, 2);
        const auto iv = pattern(r.iv_size, 3);
        const auto direct = [&] {
            unsigned char chain[16];
            std::copy(iv.begin(), iv.end(), chain);
            switch (r.type) {
                case CKM_AES_CBC: {
                    mbedtls_aes_context aes;
                    mbedtls_aes_init(&aes);
                    mbedtls_aes_setkey_enc(&aes, key.data(), 128);
                    mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_ENCRYPT, in.size(), chain, in.data(), out.data());
                    mbedtls_aes_free(&aes);
                    break;
                }
                case CKM_DES3_CBC: {
                    mbedtls_des3_context des3;
                    mbedtls_des3_init(&des3);
                    mbedtls_des3_set3key_enc(&des3, key.data());
                    mbedtls_des3_crypt_cbc(&des3, MBEDTLS_DES_ENCRYPT, in.size(), chain, in.data(), out.data());
                    mbedtls_des3_free(&des3);
                    break;
                }
                case CKM_RC4: {
                    pkcs11::rc4_state state;
                    pkcs11::rc4_set_key(state, key.size(), key.data());
                    pkcs11::rc4_crypt(state, in.size(), in.data(), out.data());
                    break;
                }
                default:
                    mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), in.data(), in.size(), out.data());
            }
        };
        std::vector<double> via_ctx;
        std::vector<double> via_direct;
        std::vector<double> via_module;
        const CK_OBJECT_HANDLE module_key = with_module && r.key_gen != 0 ? module.key(r) : 0;
        // One warm-up of each, then interleaved rounds.
        direct();
        through_context(r.type, key, iv, in, out);
        if (with_module) module.run(r, module_key, iv, in, out);
        for (int i = 0; i < rounds; ++i) {
            via_direct.push_back(time_ms(direct));
            via_ctx.push_back(time_ms([&] { through_context(r.type, key, iv, in, out); }));
            if (with_module) via_module.push_back(time_ms([&] { module.run(r, module_key, iv, in, out); }));
        }
        const double c = median(via_ctx);
        const double d = median(via_direct);
        std::printf("%-12s %12.3f %12.3f %9.1f%%", r.name, c, d, (c / d - 1.0) * 100.0);
        if (with_module) {
            const double m = median(via_module);
            std::printf(" %12.3f %9.1f%%", m, (m / d - 1.0) * 100.0);
        }
        std::printf("\n");
    }
    return 0;
}
