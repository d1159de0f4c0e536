// The key containers of a token as PKCS #11 objects.
//
// Up to 8 containers ("cmapfile"/"contInfo", card_containers.h), each with a
// name and at most one key pair and one certificate per key spec (1
// exchange, 2 signature). The manager keeps the list of containers, turns
// the card's records into key and certificate objects of the token's object
// list, assigns new token keys and certificates to containers, writes their
// attribute bits and labels back into "contInfo", imports RSA keys, stores
// certificates (in a container, or standalone as "cert00".."cert09"),
// deletes them, generates RSA and EC key pairs on the card, imports EC keys,
// and serves the container functions of the vendor extension.
//
// Values are read from the card on demand (read_values): a certificate's
// bytes, a key's modulus or point. Reads never write.
//
// Names: at most 38 bytes (the card keeps 39 characters, and certificate
// labels made from a name one more), unique by exact bytes. New names are
// "cont_" and 20 lower-case hex digits from the CSPRNG, drawn again while
// listed; new CKA_IDs 32 hex digits, drawn again while an object has it.
//
// Results are CK_RVs. Card statuses become CK_RVs where they arise: 1
// CKR_DEVICE_REMOVED, 0x6982 CKR_USER_NOT_LOGGED_IN, no free container and
// a full file system CKR_DEVICE_MEMORY, an occupied key slot
// CKR_TEMPLATE_INCONSISTENT, other statuses CKR_DEVICE_ERROR.
#pragma once

#include <pkcs11_vendor.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "card_container_forms.h"
#include "card_device.h"
#include "objects/object_finder.h"
#include "ecdsa_ctx.h"
#include "objects/object_mgr.h"
#include "rsa_ctx.h"

namespace pkcs11 {

struct pkcs11_container {
    std::string name;
    std::int32_t index = -1;
};

// M_GetContainerInfo's values.
struct pkcs11_container_info {
    std::uint32_t signature_bits = 0;
    std::uint32_t exchange_bits = 0;
    std::uint8_t signature_cert = 0;
    std::uint8_t exchange_cert = 0;
};

class pkcs11_container_manager final : public pkcs11_object_value_reader {
public:
    // Gives 0 and the token's device, or the status that stands for it.
    using device_fn = std::function<std::int32_t(solvantex::card_handle&)>;
    // Certificates are at most this long.
    static constexpr std::size_t cert_max = solvantex::cardfs_cert_max;

    pkcs11_container_manager(device_fn device, pkcs11_object_mgr& objects);
    ~pkcs11_container_manager() override;
    pkcs11_container_manager(const pkcs11_container_manager&) = delete;
    pkcs11_container_manager& operator=(const pkcs11_container_manager&) = delete;

    // ---- loading -----------------------------------------------------------

    // Rebuilds the list from the card and appends the key and certificate
    // objects of every container to the object list; count: the containers.
    // The first failure is reported; the objects made before it stay.
    CK_RV load_all(std::size_t& count);
    // Appends an object for every standalone certificate file.
    CK_RV load_standalone_certificates();
    // Both loads: the token's store asks for them at its first need. The
    // card's file list that load_all read (with a container in use) names
    // the standalone certificates too; it is not asked for again.
    CK_RV load();
    // The container part of a reload: the token's certificates and keys
    // leave the object list (session objects stay), then both loads run
    // again.
    CK_RV reload();

    const std::vector<pkcs11_container>& containers() const { return containers_; }
    const pkcs11_container* find(const std::string& name) const;
    // The container an object names: CKR_ATTRIBUTE_TYPE_INVALID without
    // CKA_VENDOR_CONTAINER_NAME, CKR_VENDOR_CONTAINER_NOT_FOUND for an
    // unknown name.
    CK_RV container_of(const pkcs11_object& object, const pkcs11_container*& out) const;

    // ---- the vendor functions' work -------------------------------------

    // CKR_VENDOR_CONTAINER_EXISTS, CKR_ATTRIBUTE_VALUE_INVALID for an empty
    // name or one over 38 bytes, CKR_DEVICE_MEMORY with all 8 in use; the
    // card's status otherwise.
    CK_RV create_container(const std::string& name);
    // Deletes the container of exactly that name with its keys and
    // certificates (an unknown name: CKR_OK, nothing sent), and drops its
    // objects from the list.
    CK_RV delete_container(const std::string& name);
    // The names, each followed by a NUL. A null buffer stores the total and
    // gives CKR_OK; a shorter length stores it and gives
    // CKR_BUFFER_TOO_SMALL. The list is loaded first when it is empty.
    CK_RV enumerate(char* buffer, CK_ULONG* length);
    // CKR_VENDOR_CONTAINER_NOT_FOUND, or the card's records.
    CK_RV container_info(const std::string& name, pkcs11_container_info& info);

    // ---- new token objects ------------------------------------------------

    // Gives a new key or certificate its container name and key spec: its
    // own CKA_VENDOR_CONTAINER_NAME, else that of an object with its CKA_ID
    // (CKA_LABEL standing in for a missing CKA_ID), else a new name. A
    // certificate with neither stays outside any container (CKR_OK);
    // a key gives CKR_ATTRIBUTE_TYPE_INVALID.
    CK_RV assign_container(pkcs11_object& object);
    // A name no listed container has, and a CKA_ID no object has.
    CK_RV new_container_name(std::string& name) const;
    CK_RV new_key_id(std::string& id) const;

    // The store of a created or changed token key: its container (made when
    // needed), an import of a private key's values (RSA: the CRT set, or n,
    // e and d completed; EC: CKA_VALUE with CKA_EC_PARAMS; the slot must be
    // free, except that an EC private key may join the public key imported
    // alone before it, which the card checks it against) or of an EC public
    // key's CKA_EC_POINT (a free slot takes it; an occupied one must hold
    // that point), then its part of "contInfo". The imported private values
    // leave the object.
    CK_RV store_public_key(pkcs11_object& object);
    CK_RV store_private_key(pkcs11_object& object);
    // A certificate (1 to cert_max bytes of CKA_VALUE, else
    // CKR_ATTRIBUTE_VALUE_INVALID): in its container, or in the first free
    // "cert%02d" file (CKA_VENDOR_STORE_NAME, CKA_VENDOR_KEY_SPEC 0).
    CK_RV store_certificate(pkcs11_object& object);
    // A change of a stored key's or certificate's attributes (updated: the
    // attributes as they will be): its part of "contInfo" is written again.
    // A standalone certificate keeps nothing besides its bytes.
    CK_RV update(const pkcs11_object& object, const pkcs11_attribute_mgr& updated);
    // Deletions; the container goes when nothing is left in it.
    CK_RV delete_certificate(const pkcs11_object& object);
    CK_RV delete_key_pair(const pkcs11_object& object);

    // RSA key-pair generation on the card into the templates' objects: the
    // container name, CKA_ID and key spec shared between them (new ones when
    // neither has one), the container made when needed (CKR_DEVICE_MEMORY
    // when all are in use), CKA_MODULUS_BITS 1024 (when absent) or 2048
    // (another value: CKR_KEY_SIZE_RANGE); a slot that holds a key is
    // refused with CKR_TEMPLATE_INCONSISTENT. The objects get the key's
    // values and their parts of "contInfo" are written.
    CK_RV generate_rsa_key_pair(pkcs11_object& public_key, pkcs11_object& private_key);
    // The same for an EC key pair: the curve from the public template's
    // CKA_EC_PARAMS (P-256 or P-521; absent CKR_ATTRIBUTE_TYPE_INVALID,
    // another CKR_ATTRIBUTE_VALUE_INVALID) before anything else; both
    // objects get the raw point in CKA_EC_POINT, the private one the
    // public template's CKA_EC_PARAMS.
    CK_RV generate_ec_key_pair(pkcs11_object& public_key, pkcs11_object& private_key);

    // ---- values on demand ---------------------------------------------------

    // A certificate's bytes and DER-derived attributes; a key's public
    // values (and the certificate's subject). Objects outside containers
    // and values already read are left alone.
    CK_RV read_values(pkcs11_object& object) override;

    // The card's private key file of a key object.
    CK_RV private_key_id(const pkcs11_object& object, std::uint16_t& id) const;
    // The RSA contexts' key and card for a key object of the token.
    std::unique_ptr<pkcs11_rsa_key_source> rsa_key_source(const pkcs11_object_ref& key);
    std::shared_ptr<pkcs11_rsa_card> rsa_card() const;
    // The ECDSA context's card for a private key of the token: AsymSign
    // with the key's private key file, found when it signs.
    ecdsa_card_signer ecdsa_signer(const pkcs11_object_ref& key);

private:
    template <typename Call>
    std::int32_t on_card(Call&& call) const;
    CK_RV find_or_create(const pkcs11_object& object, const pkcs11_container*& out, bool& created);
    // assign_container, then find_or_create; kept: a copy of the container.
    CK_RV place(pkcs11_object& object, pkcs11_container& kept, bool& created);
    // The standalone certificates a load's file list names (each with its
    // NUL); read is false when the load read no file list.
    struct standalone_names {
        bool read = false;
        std::uint32_t length = 0;
        char names[solvantex::cardfs_standalone_names_size] = {};
    };
    // load_all, which also hands over the standalone certificates its file
    // list names when listed is not null.
    CK_RV load_all(std::size_t& count, standalone_names* listed);
    CK_RV load_container(const pkcs11_container& container, const solvantex::cardfs_cmap_record& map,
                         const solvantex::cardfs_cont_info_record& info);
    CK_RV save_key_part(const pkcs11_object& object, bool is_private);
    // The key parts of "contInfo" of one key spec in one write (either key
    // may be null); with slot_must_be_free a slot that holds a key is
    // refused (CKR_TEMPLATE_INCONSISTENT) and nothing is written.
    CK_RV save_key_parts(const pkcs11_object* public_key, const pkcs11_object* private_key, bool slot_must_be_free);
    CK_RV save_cert_part(const pkcs11_object& object, const pkcs11_container& container);
    CK_RV import_rsa(const pkcs11_container& container, std::int32_t spec, pkcs11_object& object);
    CK_RV import_ec_private(const pkcs11_container& container, std::int32_t spec, pkcs11_object& object);
    CK_RV import_ec_public(const pkcs11_container& container, std::int32_t spec, pkcs11_object& object);
    // The public block of a key slot (RSA 264 or EC 144 bytes).
    CK_RV read_public_block(std::int32_t index, std::int32_t spec, std::uint8_t* block, std::int32_t& length);
    // One container name, CKA_ID and key spec for both halves of a new pair
    // (new ones where neither has them).
    CK_RV share_pair_identity(pkcs11_object& public_key, pkcs11_object& private_key);
    // The pair of key_type generated in the public template's container
    // (made when needed): both parts of "contInfo" are written first, then
    // the card generates and fill sets the key's values from the public
    // block on both objects.
    CK_RV generate_pair(pkcs11_object& public_key, pkcs11_object& private_key, std::uint32_t key_type,
                        std::uint32_t bits,
                        const std::function<CK_RV(const std::uint8_t* block, pkcs11_object& key)>& fill);
    CK_RV drop_if_empty(const pkcs11_container& container);
    // Drops the token's certificates and keys for which `which` holds.
    void drop_objects(const std::function<bool(const pkcs11_object&)>& which);
    // An object for each standalone certificate of names (each with its NUL).
    CK_RV add_standalone_certificates(const char* names, std::uint32_t length);

    device_fn device_;
    pkcs11_object_mgr& objects_;
    std::vector<pkcs11_container> containers_;
    std::shared_ptr<pkcs11_rsa_card> card_;
};

// The hex form of random bytes: "cont_" names and CKA_IDs.
std::string random_hex(std::size_t bytes);

}  // namespace pkcs11
