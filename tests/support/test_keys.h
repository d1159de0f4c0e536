// Test keys and the openssl command for the key tests: a deterministic
// generator for mbed TLS key generation, and (natively) openssl over files
// of a scratch directory.
#pragma once

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace test_support {

// A deterministic generator for the tests' keys.
class test_drbg {
public:
    explicit test_drbg(const char* seed) {
        mbedtls_ctr_drbg_init(&drbg_);
        mbedtls_ctr_drbg_seed(&drbg_, entropy, nullptr, reinterpret_cast<const unsigned char*>(seed),
                              std::strlen(seed));
    }
    ~test_drbg() { mbedtls_ctr_drbg_free(&drbg_); }
    test_drbg(const test_drbg&) = delete;
    test_drbg& operator=(const test_drbg&) = delete;
    mbedtls_ctr_drbg_context* get() { return &drbg_; }

private:
    static int entropy(void*, unsigned char* out, size_t n) {
        for (size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(i * 29 + 3);
        return 0;
    }
    mbedtls_ctr_drbg_context drbg_;
};

// An RSA public key in PEM from its big-endian values: 0 or mbed TLS's error.
inline int rsa_public_pem(const std::vector<std::uint8_t>& n, const std::vector<std::uint8_t>& e,
                          std::vector<std::uint8_t>& out) {
    mbedtls_pk_context pk;
    mbedtls_pk_init(&pk);
    unsigned char text[4096] = {};
    int status = mbedtls_pk_setup(&pk, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA));
    if (status == 0)
        status = mbedtls_rsa_import_raw(mbedtls_pk_rsa(pk), n.data(), n.size(), nullptr, 0, nullptr, 0, nullptr, 0,
                                        e.data(), e.size());
    if (status == 0) status = mbedtls_rsa_complete(mbedtls_pk_rsa(pk));
    if (status == 0) status = mbedtls_pk_write_pubkey_pem(&pk, text, sizeof text);
    mbedtls_pk_free(&pk);
    if (status == 0) out.assign(text, text + std::strlen(reinterpret_cast<char*>(text)));
    return status;
}

#ifndef _WIN32
// The openssl command over files of a scratch directory.
class openssl_tool {
public:
    using bytes = std::vector<std::uint8_t>;

    openssl_tool() {
        char dir[] = "/tmp/solvanta_keys_XXXXXX";
        const char* made = ::mkdtemp(dir);
        if (made != nullptr) dir_ = made;
    }
    ~openssl_tool() {
        if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    openssl_tool(const openssl_tool&) = delete;
    openssl_tool& operator=(const openssl_tool&) = delete;

    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    void put(const std::string& name, const bytes& data) const {
        std::ofstream out(path(name), std::ios::binary);
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    bytes get(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // 0 when openssl succeeded.
    int run(const std::string& arguments) const {
        return std::system(("cd '" + dir_ + "' && openssl " + arguments + " >/dev/null 2>&1").c_str());
    }
    // A key in PEM through mbed TLS's writer (public or private): 0 or the
    // writer's error.
    int put_pem(const std::string& name, mbedtls_pk_context* pk, bool is_private) const {
        unsigned char pem[8192] = {};
        const int status = is_private ? mbedtls_pk_write_key_pem(pk, pem, sizeof pem)
                                      : mbedtls_pk_write_pubkey_pem(pk, pem, sizeof pem);
        if (status == 0) put(name, bytes(pem, pem + std::strlen(reinterpret_cast<char*>(pem))));
        return status;
    }

private:
    std::string dir_;
};
#endif

}  // namespace test_support
