// The algorithm descriptor of the hashing and card-symmetric contexts: the
// card's algorithm identifier of a mechanism with its block, digest length
// and padding. The hash identifiers also select the digest in software.
#pragma once

#include <pkcs11_vendor.h>

#include <mbedtls/md.h>

#include <cstdint>

namespace pkcs11 {

constexpr std::uint32_t algo_md5 = 0x40000000;
constexpr std::uint32_t algo_sha1 = 0x40000011;
constexpr std::uint32_t algo_sha256 = 0x40000013;
constexpr std::uint32_t algo_sha384 = 0x40000014;
constexpr std::uint32_t algo_sha512 = 0x40000015;
constexpr std::uint32_t algo_des = 0x40002100;
constexpr std::uint32_t algo_des3_ecb = 0x40002120;
constexpr std::uint32_t algo_des3_cbc = 0x40002121;
constexpr std::uint32_t algo_aes_ecb = 0x40002000;
constexpr std::uint32_t algo_aes_cbc = 0x40002001;

enum class algo_kind : std::uint32_t { none = 0, symmetric = 1, md5 = 2, sha = 3 };

class pkcs11_algo {
public:
    virtual ~pkcs11_algo() = default;

    // The descriptor of a mechanism; identifier 0 and lengths 0 for a
    // mechanism outside the table. The key length starts as the block size.
    static pkcs11_algo for_mechanism(CK_MECHANISM_TYPE type);

    std::uint32_t identifier = 0;
    std::uint32_t key_length = 0;
    std::uint32_t block_size = 0;
    std::uint32_t digest_length = 0;
    std::uint32_t padding = 0;
    algo_kind kind = algo_kind::none;
};

// The digest of a hash identifier; MBEDTLS_MD_NONE for anything else.
mbedtls_md_type_t card_hash_to_digest(std::uint32_t identifier);

}  // namespace pkcs11
