// Runs the module's software contexts on requests read from stdin, one per
// line, and prints each result as hex (or "rv=0x..." for an error), so that
// a script can hold them against independent implementations:
//   cipher enc|dec <mech> <key> <param> <data> <splits>
//   digest <mech> <data> <splits>
//   hmac <mech> <key> <data> <splits>
//   derive <mech> <base> <key type|-> <value len|->
//   unwrap <mech> <key> <param> <wrapped>   (an RSA private key: the
//       attribute values modulus .. private exponent, space-separated)
// Numbers are hex; "-" is empty; splits are comma-separated offsets, "-"
// for a one-shot call. An RC2 parameter is written rc2:<bits>:<iv>, and is
// laid out by this build's CK_RC2_PARAMS or CK_RC2_CBC_PARAMS.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "mechanism_table.h"
#include "rsa_unwrap.h"
#include "soft_hash_ctx.h"
#include "support/hex_bytes.h"

namespace {

using test_support::bytes;
using test_support::hex;
using test_support::hex_of;

bytes field(const std::string& s) { return s == "-" ? bytes() : hex(s); }

std::vector<std::size_t> splits_of(const std::string& s, std::size_t length) {
    std::vector<std::size_t> ends;
    if (s != "-") {
        std::stringstream in(s);
        std::string item;
        while (std::getline(in, item, ',')) ends.push_back(std::stoul(item));
    }
    ends.push_back(length);
    return ends;
}

std::string rv_text(CK_RV rv) {
    char text[32];
    std::snprintf(text, sizeof text, "rv=0x%lx", static_cast<unsigned long>(rv));
    return text;
}

// The mechanism parameter bytes of a request.
bytes param_of(CK_MECHANISM_TYPE type, const std::string& s) {
    if (s.rfind("rc2:", 0) != 0) return field(s);
    const std::size_t colon = s.find(':', 4);
    const CK_ULONG bits = std::stoul(s.substr(4, colon - 4));
    if (type == CKM_RC2_ECB) {
        CK_RC2_PARAMS p = bits;
        return bytes(reinterpret_cast<const CK_BYTE*>(&p), reinterpret_cast<const CK_BYTE*>(&p) + sizeof p);
    }
    CK_RC2_CBC_PARAMS p{};
    p.ulEffectiveBits = bits;
    const bytes iv = hex(s.substr(colon + 1));
    std::memcpy(p.iv, iv.data(), sizeof p.iv);
    return bytes(reinterpret_cast<const CK_BYTE*>(&p), reinterpret_cast<const CK_BYTE*>(&p) + sizeof p);
}

std::string run_cipher(bool encrypt, CK_MECHANISM_TYPE type, const bytes& key, const bytes& param, const bytes& data,
                       const std::string& splits) {
    CK_MECHANISM m{type, param.empty() ? nullptr : const_cast<CK_BYTE*>(param.data()),
                   static_cast<CK_ULONG>(param.size())};
    auto ctx = pkcs11::make_soft_key_ctx(pkcs11::choose_key_ctx(type, nullptr).ctx_class, m);
    if (!ctx) return "no context";
    const pkcs11::pkcs11_key_value value{key.data(), key.size()};
    CK_RV rv = encrypt ? ctx->encrypt_init(value) : ctx->decrypt_init(value);
    if (rv != CKR_OK) return rv_text(rv);
    bytes out(data.size() + 64);
    CK_ULONG length = static_cast<CK_ULONG>(out.size());
    if (splits == "-") {
        rv = encrypt ? ctx->encrypt(data.data(), static_cast<CK_ULONG>(data.size()), out.data(), &length)
                     : ctx->decrypt(data.data(), static_cast<CK_ULONG>(data.size()), out.data(), &length);
        if (rv != CKR_OK) return rv_text(rv);
        out.resize(length);
        return hex_of(out);
    }
    std::size_t from = 0;
    std::size_t written = 0;
    for (std::size_t end : splits_of(splits, data.size())) {
        length = static_cast<CK_ULONG>(out.size() - written);
        rv = encrypt ? ctx->encrypt_update(data.data() + from, static_cast<CK_ULONG>(end - from), out.data() + written,
                                           &length)
                     : ctx->decrypt_update(data.data() + from, static_cast<CK_ULONG>(end - from), out.data() + written,
                                           &length);
        if (rv != CKR_OK) return rv_text(rv);
        written += length;
        from = end;
    }
    length = static_cast<CK_ULONG>(out.size() - written);
    rv = encrypt ? ctx->encrypt_final(out.data() + written, &length) : ctx->decrypt_final(out.data() + written, &length);
    if (rv != CKR_OK) return rv_text(rv);
    out.resize(written + length);
    return hex_of(out);
}

std::string run_hash(bool hmac, CK_MECHANISM_TYPE type, const bytes& key, const bytes& data,
                     const std::string& splits) {
    pkcs11::pkcs11_soft_hash_ctx ctx(CK_MECHANISM{type, nullptr, 0});
    CK_RV rv = hmac ? ctx.sign_init({key.data(), key.size()}) : ctx.digest_init();
    if (rv != CKR_OK) return rv_text(rv);
    CK_BYTE out[pkcs11::max_digest_length];
    CK_ULONG length = sizeof out;
    if (splits == "-") {
        rv = hmac ? ctx.sign(data.data(), static_cast<CK_ULONG>(data.size()), out, &length)
                  : ctx.digest(data.data(), static_cast<CK_ULONG>(data.size()), out, &length);
    } else {
        std::size_t from = 0;
        for (std::size_t end : splits_of(splits, data.size())) {
            const auto n = static_cast<CK_ULONG>(end - from);
            rv = hmac ? ctx.sign_update(data.data() + from, n) : ctx.digest_update(data.data() + from, n);
            if (rv != CKR_OK) return rv_text(rv);
            from = end;
        }
        rv = hmac ? ctx.sign_final(out, &length) : ctx.digest_final(out, &length);
    }
    if (rv != CKR_OK) return rv_text(rv);
    return hex_of(out, length);
}

std::string run_derive(CK_MECHANISM_TYPE type, const bytes& base, const std::string& key_type,
                       const std::string& value_len) {
    pkcs11::pkcs11_soft_hash_ctx ctx(CK_MECHANISM{type, nullptr, 0});
    pkcs11::pkcs11_derive_template templ;
    if (key_type != "-") {
        templ.has_key_type = true;
        templ.key_type = std::stoul(key_type, nullptr, 16);
    }
    if (value_len != "-") {
        templ.has_value_len = true;
        templ.value_len = std::stoul(value_len, nullptr, 16);
    }
    CK_BYTE value[pkcs11::max_digest_length];
    std::size_t length = 0;
    const CK_RV rv = ctx.derive_key_value({base.data(), base.size()}, templ, value, &length);
    return rv == CKR_OK ? hex_of(value, length) : rv_text(rv);
}

std::string run_unwrap(CK_MECHANISM_TYPE type, const bytes& key, const bytes& param, const bytes& wrapped) {
    CK_MECHANISM m{type, param.empty() ? nullptr : const_cast<CK_BYTE*>(param.data()),
                   static_cast<CK_ULONG>(param.size())};
    auto ctx = pkcs11::make_soft_key_ctx(pkcs11::choose_key_ctx(type, nullptr).ctx_class, m);
    if (!ctx) return "no context";
    CK_RV rv = ctx->decrypt_init({key.data(), key.size()});
    CK_ULONG length = 0;
    if (rv == CKR_OK) rv = ctx->decrypt(wrapped.data(), static_cast<CK_ULONG>(wrapped.size()), nullptr, &length);
    if (rv != CKR_OK) return rv_text(rv);
    // The size query is exact: the plaintext is the DER and nothing more.
    bytes plain(length);
    rv = ctx->decrypt(wrapped.data(), static_cast<CK_ULONG>(wrapped.size()), plain.data(), &length);
    if (rv != CKR_OK) return rv_text(rv);
    if (length != plain.size()) return "length changed";
    pkcs11::rsa_private_key_values values;
    rv = pkcs11::unwrap_rsa_private_key(plain.data(), plain.size(), values);
    if (rv != CKR_OK) return rv_text(rv);
    std::string out;
    for (const auto* v : {&values.modulus, &values.prime_1, &values.prime_2, &values.exponent_1, &values.exponent_2,
                          &values.coefficient, &values.public_exponent, &values.private_exponent}) {
        out += (out.empty() ? "" : " ") + hex_of(v->data(), v->size());
    }
    return out;
}

}  // namespace

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        std::stringstream in(line);
        std::vector<std::string> f;
        std::string word;
        while (in >> word) f.push_back(word);
        std::string result = "bad request";
        if (f.size() == 7 && f[0] == "cipher") {
            const CK_MECHANISM_TYPE type = std::stoul(f[2], nullptr, 16);
            result = run_cipher(f[1] == "enc", type, field(f[3]), param_of(type, f[4]), field(f[5]), f[6]);
        } else if (f.size() == 4 && f[0] == "digest") {
            result = run_hash(false, std::stoul(f[1], nullptr, 16), bytes(), field(f[2]), f[3]);
        } else if (f.size() == 5 && f[0] == "hmac") {
            result = run_hash(true, std::stoul(f[1], nullptr, 16), field(f[2]), field(f[3]), f[4]);
        } else if (f.size() == 5 && f[0] == "unwrap") {
            const CK_MECHANISM_TYPE type = std::stoul(f[1], nullptr, 16);
            result = run_unwrap(type, field(f[2]), param_of(type, f[3]), field(f[4]));
        } else if (f.size() == 5 && f[0] == "derive") {
            result = run_derive(std::stoul(f[1], nullptr, 16), field(f[2]), f[3], f[4]);
        }
        std::cout << result << '\n';
    }
    return 0;
}
