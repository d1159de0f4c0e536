#include "containers/container_manager.h"

#include <mbedtls/bignum.h>
#include <mbedtls/ecp.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/rsa.h>

#include <solvanta_key_blocks.h>

#include <cstring>

#include "card_containers.h"
#include "card_store.h"
#include "containers/certificate_attributes.h"
#include "containers/rsa_card_port.h"
#include "protocol/status.h"
#include "sm/random.h"

namespace pkcs11 {

using namespace solvantex;

namespace {

using bytes = std::vector<std::uint8_t>;

// Names are unique and the card keeps them whole only up to this length.
constexpr std::size_t name_max = cardfs_container_name_max;
constexpr std::size_t id_max = 64;
constexpr std::size_t label_max = 63;
// Draws of a new name or CKA_ID before giving up.
constexpr int draws = 32;

constexpr std::uint8_t p256_oid[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
constexpr std::uint8_t p521_oid[] = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x23};

// A card status as a CK_RV.
CK_RV card_rv(std::int32_t status) {
    switch (status) {
        case zervik::status_ok: return CKR_OK;
        case zervik::status_failed: return CKR_DEVICE_REMOVED;
        case zervik::sw_security_not_satisfied: return CKR_USER_NOT_LOGGED_IN;
        case cardfs_no_free_container:
        case zervik::sw_not_enough_memory:
        case zervik::sw_file_exists:  // every standalone certificate file exists
            return CKR_DEVICE_MEMORY;
        case cardfs_slot_occupied: return CKR_TEMPLATE_INCONSISTENT;
        case cardfs_bad_key_size: return CKR_KEY_SIZE_RANGE;
        case cardfs_bad_container: return CKR_VENDOR_CONTAINER_NOT_FOUND;
        default: return CKR_DEVICE_ERROR;
    }
}

// ---- attribute bits of the "contInfo" parts ----

struct bit_row {
    std::uint32_t type;
    std::uint32_t bit;
    bool by_default;
};

constexpr bit_row public_bits[] = {
    {CKA_PRIVATE, 0, false}, {CKA_DERIVE, 2, false},        {CKA_ENCRYPT, 4, true}, {CKA_VERIFY, 5, true},
    {CKA_VERIFY_RECOVER, 6, true}, {CKA_WRAP, 7, true},       {CKA_TRUSTED, 8, false},
};
constexpr bit_row private_bits[] = {
    {CKA_PRIVATE, 0, false},           {CKA_MODIFIABLE, 1, true},         {CKA_DERIVE, 2, false},
    {CKA_SENSITIVE, 3, false},         {CKA_DECRYPT, 4, true},            {CKA_SIGN, 5, true},
    {CKA_SIGN_RECOVER, 6, false},      {CKA_UNWRAP, 7, false},            {CKA_EXTRACTABLE, 8, false},
    {CKA_ALWAYS_SENSITIVE, 9, false},  {CKA_NEVER_EXTRACTABLE, 10, false}, {CKA_WRAP_WITH_TRUSTED, 11, false},
    {CKA_ALWAYS_AUTHENTICATE, 12, false},
};
constexpr bit_row cert_bits[] = {{CKA_PRIVATE, 0, false}, {CKA_MODIFIABLE, 1, false}, {CKA_TRUSTED, 2, false}};
// Written into every public part.
constexpr std::uint32_t public_always = 1u << 1;

template <std::size_t N>
CK_RV load_bits(pkcs11_attribute_mgr& a, const bit_row (&rows)[N], std::uint32_t bits) {
    for (const bit_row& r : rows) {
        const CK_RV rv = a.set_bool(r.type, ((bits >> r.bit) & 1u) != 0);
        if (rv != CKR_OK) return rv;
    }
    return CKR_OK;
}

template <std::size_t N>
std::uint32_t save_bits(const pkcs11_attribute_mgr& a, const bit_row (&rows)[N], std::uint32_t old) {
    std::uint32_t bits = old;
    for (const bit_row& r : rows) {
        const bool value = a.has(r.type) ? a.is_true(r.type) : r.by_default;
        bits = (bits & ~(1u << r.bit)) | (value ? 1u << r.bit : 0u);
    }
    return bits;
}

bytes value_of(const pkcs11_object& object, std::uint32_t type) {
    const pkcs11_attribute* a = object.attributes().find(type);
    return a == nullptr ? bytes() : a->value;
}

bool has_value(const pkcs11_object& object, std::uint32_t type) {
    const pkcs11_attribute* a = object.attributes().find(type);
    return a != nullptr && !a->value.empty();
}

std::string name_of(const pkcs11_object& object) {
    const bytes v = value_of(object, CKA_VENDOR_CONTAINER_NAME);
    return std::string(v.begin(), v.end());
}

bool valid_name(const std::string& name) {
    return !name.empty() && name.size() <= name_max && name.find('\0') == std::string::npos;
}

// The value without its leading zero bytes.
bytes stripped(const bytes& v) {
    std::size_t i = 0;
    while (i < v.size() && v[i] == 0) ++i;
    return bytes(v.begin() + static_cast<std::ptrdiff_t>(i), v.end());
}

bytes mpi_bytes(const mbedtls_mpi& v) {
    bytes out(mbedtls_mpi_size(&v), 0);
    if (!out.empty()) mbedtls_mpi_write_binary(&v, out.data(), out.size());
    return out;
}

void put_label(std::uint8_t* label, std::uint8_t& length, const bytes& value) {
    const std::size_t n = value.size() < label_max ? value.size() : label_max;
    std::memset(label, 0, 64);
    if (n != 0) std::memcpy(label, value.data(), n);
    length = static_cast<std::uint8_t>(n);
}

cardfs_cont_half& half_of(cardfs_cont_info_record& record, std::int32_t spec) {
    return spec == cardfs_spec_signature ? record.signature : record.exchange;
}

void put_id(cardfs_cont_info_record& record, std::int32_t spec, const bytes& id) {
    std::uint8_t* field = spec == cardfs_spec_signature ? record.signature_id : record.exchange_id;
    std::uint8_t& length = spec == cardfs_spec_signature ? record.signature_id_length : record.exchange_id_length;
    std::memset(field, 0, 64);
    if (!id.empty()) std::memcpy(field, id.data(), id.size());
    length = static_cast<std::uint8_t>(id.size());
}

// The raw point 04 || X || Y of an EC public block of 256 or 521 bits.
bytes ec_point_of_block(const std::uint8_t* block, std::uint32_t bits) {
    const std::size_t size = ec_coordinate_length(bits);
    bytes point{0x04};
    const std::uint8_t* x = block + SOLVANTA_EC_PUBLIC_X_OFFSET + SOLVANTA_EC_COORDINATE_SIZE - size;
    const std::uint8_t* y = block + SOLVANTA_EC_PUBLIC_Y_OFFSET + SOLVANTA_EC_COORDINATE_SIZE - size;
    point.insert(point.end(), x, x + size);
    point.insert(point.end(), y, y + size);
    return point;
}

// The curve size of an object's CKA_EC_PARAMS (ec_curve_bits' codes).
CK_RV ec_bits_of(const pkcs11_object& object, std::uint32_t& bits) {
    pkcs11_ec_key key;
    const pkcs11_attribute* params = object.attributes().find(CKA_EC_PARAMS);
    key.has_params = params != nullptr;
    if (key.has_params) key.params = params->value;
    return ec_curve_bits(key, &bits);
}

// Whether the bytes are a point of the curve (raw = 04 || X || Y) or, with
// point false, a private scalar in 1 .. n - 1.
bool ec_value_valid(std::uint32_t bits, const std::uint8_t* value, std::size_t length, bool point) {
    mbedtls_ecp_group group;
    mbedtls_ecp_point q;
    mbedtls_mpi d;
    mbedtls_ecp_group_init(&group);
    mbedtls_ecp_point_init(&q);
    mbedtls_mpi_init(&d);
    int ret = mbedtls_ecp_group_load(&group, bits == 521 ? MBEDTLS_ECP_DP_SECP521R1 : MBEDTLS_ECP_DP_SECP256R1);
    if (ret == 0 && point) ret = mbedtls_ecp_point_read_binary(&group, &q, value, length);
    if (ret == 0 && point) ret = mbedtls_ecp_check_pubkey(&group, &q);
    if (ret == 0 && !point) ret = mbedtls_mpi_read_binary(&d, value, length);
    if (ret == 0 && !point) ret = mbedtls_ecp_check_privkey(&group, &d);
    mbedtls_mpi_free(&d);
    mbedtls_ecp_point_free(&q);
    mbedtls_ecp_group_free(&group);
    return ret == 0;
}

// A wiped byte area.
struct secret_block {
    bytes b;
    explicit secret_block(std::size_t n) : b(n, 0) {}
    ~secret_block() { mbedtls_platform_zeroize(b.data(), b.size()); }
};

// An RSA key of the token for the contexts: its values from the object,
// read from the card when they are not there yet.
class container_rsa_key final : public pkcs11_rsa_key_source {
public:
    container_rsa_key(pkcs11_container_manager& manager, pkcs11_object_ref key)
        : manager_(manager), key_(std::move(key)) {}

    CK_OBJECT_CLASS key_class() const override { return key_->object_class(); }
    CK_RV modulus_bits(std::uint32_t& bits) override {
        std::uint32_t b = 0;
        if (key_->attributes().get_u32(CKA_MODULUS_BITS, b)) {
            if (b != 1024 && b != 2048) return CKR_KEY_SIZE_RANGE;
            bits = b;
            return CKR_OK;
        }
        if (!key_->attributes().has(CKA_MODULUS)) {
            const CK_RV rv = manager_.read_values(*key_);
            if (rv != CKR_OK) return rv;
        }
        const bytes n = value_of(*key_, CKA_MODULUS);
        return rsa_bits_of_modulus(n.empty() ? nullptr : n.data(), n.size(), bits);
    }
    CK_RV public_key(bytes& n, bytes& e) override {
        if (!key_->attributes().has(CKA_MODULUS) || !key_->attributes().has(CKA_PUBLIC_EXPONENT)) {
            const CK_RV rv = manager_.read_values(*key_);
            if (rv != CKR_OK) return rv;
        }
        n = value_of(*key_, CKA_MODULUS);
        e = value_of(*key_, CKA_PUBLIC_EXPONENT);
        return n.empty() || e.empty() ? CKR_ATTRIBUTE_TYPE_INVALID : CKR_OK;
    }
    CK_RV private_key_id(std::uint16_t& id) override { return manager_.private_key_id(*key_, id); }

private:
    pkcs11_container_manager& manager_;
    pkcs11_object_ref key_;
};

}  // namespace

std::string random_hex(std::size_t count) {
    std::vector<unsigned char> raw(count);
    if (zervik::kas_random(nullptr, raw.data(), raw.size()) != 0) return std::string();
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : raw) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

pkcs11_container_manager::pkcs11_container_manager(device_fn device, pkcs11_object_mgr& objects)
    : device_(std::move(device)), objects_(objects), card_(std::make_shared<pkcs11_card_rsa_port>(device_)) {}

pkcs11_container_manager::~pkcs11_container_manager() = default;

template <typename Call>
std::int32_t pkcs11_container_manager::on_card(Call&& call) const {
    card_handle h = 0;
    const std::int32_t status = device_ ? device_(h) : 1;
    if (status != 0) return status;
    return call(h);
}

const pkcs11_container* pkcs11_container_manager::find(const std::string& name) const {
    for (const pkcs11_container& c : containers_)
        if (c.name == name) return &c;
    return nullptr;
}

CK_RV pkcs11_container_manager::container_of(const pkcs11_object& object, const pkcs11_container*& out) const {
    out = nullptr;
    if (!object.attributes().has(CKA_VENDOR_CONTAINER_NAME)) return CKR_ATTRIBUTE_TYPE_INVALID;
    out = find(name_of(object));
    return out == nullptr ? CKR_VENDOR_CONTAINER_NOT_FOUND : CKR_OK;
}

// ---- loading -------------------------------------------------------------------

namespace {

// Whether the list has a token object of the class for that container and
// key spec, or (name empty) of that standalone certificate file.
bool represented(const pkcs11_object_mgr& objects, CK_OBJECT_CLASS object_class, const std::string& container,
                 std::uint32_t spec, const std::string& store_name) {
    for (std::size_t i = 0; i < objects.count(); ++i) {
        const pkcs11_object& o = *objects.at(i);
        if (!o.is_token_object() || o.object_class() != object_class) continue;
        if (!store_name.empty()) {
            const bytes v = value_of(o, CKA_VENDOR_STORE_NAME);
            if (std::string(v.begin(), v.end()) == store_name) return true;
        } else if (name_of(o) == container && o.key_spec() == spec) {
            return true;
        }
    }
    return false;
}

}  // namespace

CK_RV pkcs11_container_manager::load_container(const pkcs11_container& container, const cardfs_cmap_record& map,
                                               const cardfs_cont_info_record& info) {
    CK_RV first = CKR_OK;
    const auto note = [&first](CK_RV rv) {
        if (first == CKR_OK) first = rv;
    };
    for (std::int32_t spec : {cardfs_spec_signature, cardfs_spec_exchange}) {
        const bool signature = spec == cardfs_spec_signature;
        const std::uint32_t bits = signature ? map.signature_bits : map.exchange_bits;
        const bool cert = (signature ? info.signature_cert : info.exchange_cert) != 0;
        const std::uint8_t* stored_id = signature ? info.signature_id : info.exchange_id;
        const std::size_t id_length = signature ? info.signature_id_length : info.exchange_id_length;
        const cardfs_cont_half& half = signature ? info.signature : info.exchange;
        std::string id = id_length != 0 ? std::string(stored_id, stored_id + id_length)
                                        : container.name + (signature ? "S" : "");
        const auto common = [&](pkcs11_object& o) {
            pkcs11_attribute_mgr& a = o.attributes();
            CK_RV rv = a.set(CKA_ID, id.data(), id.size());
            if (rv == CKR_OK) rv = a.set_bool(CKA_TOKEN, true);
            if (rv == CKR_OK) rv = a.set_u32(CKA_VENDOR_KEY_SPEC, static_cast<std::uint32_t>(spec));
            if (rv == CKR_OK) rv = a.set(CKA_VENDOR_CONTAINER_NAME, container.name.data(), container.name.size());
            return rv;
        };
        if (bits != 0) {
            for (CK_OBJECT_CLASS c : {CKO_PUBLIC_KEY, CKO_PRIVATE_KEY}) {
                if (represented(objects_, c, container.name, static_cast<std::uint32_t>(spec), std::string()))
                    continue;
                const cardfs_key_part& part = c == CKO_PUBLIC_KEY ? half.public_key : half.private_key;
                pkcs11_object_ref o;
                CK_RV rv = pkcs11_object::make_bare(0, c, o);
                if (rv == CKR_OK) rv = common(*o);
                pkcs11_attribute_mgr& a = o->attributes();
                if (rv == CKR_OK) rv = a.set_u32(CKA_KEY_TYPE, half.public_key.key_type);
                if (rv == CKR_OK) rv = a.set_bool(CKA_LOCAL, true);
                if (rv == CKR_OK)
                    rv = c == CKO_PUBLIC_KEY ? load_bits(a, public_bits, part.bits)
                                             : load_bits(a, private_bits, part.bits);
                if (rv == CKR_OK) rv = a.set(CKA_LABEL, part.label, part.label_length);
                if (rv == CKR_OK && bits == 256) rv = a.set(CKA_EC_PARAMS, p256_oid, sizeof p256_oid);
                if (rv == CKR_OK && bits == 521) rv = a.set(CKA_EC_PARAMS, p521_oid, sizeof p521_oid);
                if (rv == CKR_OK && (bits == 1024 || bits == 2048)) rv = a.set_u32(CKA_MODULUS_BITS, bits);
                if (rv == CKR_OK && objects_.append(o) == 0) rv = CKR_HOST_MEMORY;
                note(rv);
            }
        }
        if (cert && !represented(objects_, CKO_CERTIFICATE, container.name, static_cast<std::uint32_t>(spec),
                                 std::string())) {
            pkcs11_object_ref o;
            CK_RV rv = pkcs11_object::make_bare(0, CKO_CERTIFICATE, o);
            if (rv == CKR_OK) rv = common(*o);
            pkcs11_attribute_mgr& a = o->attributes();
            if (rv == CKR_OK) rv = a.set_u32(CKA_CERTIFICATE_TYPE, CKC_X_509);
            if (rv == CKR_OK) rv = load_bits(a, cert_bits, half.cert.bits);
            if (rv == CKR_OK) {
                // A certificate stored without a label is named after its
                // container, with the NUL the card keeps.
                if (half.cert.label_length != 0) {
                    rv = a.set(CKA_LABEL, half.cert.label, half.cert.label_length);
                } else {
                    rv = a.set(CKA_LABEL, container.name.c_str(), container.name.size() + 1);
                }
            }
            if (rv == CKR_OK && objects_.append(o) == 0) rv = CKR_HOST_MEMORY;
            note(rv);
        }
    }
    return first;
}

CK_RV pkcs11_container_manager::load_all(std::size_t& count) { return load_all(count, nullptr); }

CK_RV pkcs11_container_manager::load_all(std::size_t& count, standalone_names* listed) {
    count = 0;
    auto tables = std::make_unique<cardfs_container_tables>();
    const std::int32_t status = on_card([&](card_handle h) { return cardfs_load_containers(h, tables.get()); });
    if (status != 0) return card_rv(status);
    containers_.clear();
    if (listed != nullptr && tables->files_listed) {
        listed->read = true;
        listed->length = tables->standalone_length;
        std::memcpy(listed->names, tables->standalone, listed->length);
    }
    CK_RV first = CKR_OK;
    for (std::int32_t i = 0; i < cardfs_container_count; ++i) {
        cardfs_cmap_record map{};
        cardfs_cont_info_record info{};
        CK_RV rv = cardfs_decode_cmap_record(tables->cmap + i * cardfs_cmap_record_size, cardfs_cmap_record_size,
                                             &map) == 0
                       ? CKR_OK
                       : CKR_DEVICE_ERROR;
        if (rv == CKR_OK && (map.flags & 1) == 0) continue;
        if (rv == CKR_OK &&
            cardfs_decode_cont_info(tables->cont_info + i * cardfs_cont_info_record_size,
                                    cardfs_cont_info_record_size, &info) != 0)
            rv = CKR_DEVICE_ERROR;
        if (rv == CKR_OK) {
            containers_.push_back({map.name, i});
            rv = load_container(containers_.back(), map, info);
        }
        if (first == CKR_OK) first = rv;
    }
    count = containers_.size();
    return first;
}

CK_RV pkcs11_container_manager::load_standalone_certificates() {
    char names[128] = {};
    std::uint32_t length = sizeof names;
    const std::int32_t status = on_card([&](card_handle h) { return cardfs_list_cert_files(h, names, &length); });
    if (status != 0) return card_rv(status);
    return add_standalone_certificates(names, length);
}

CK_RV pkcs11_container_manager::add_standalone_certificates(const char* names, std::uint32_t length) {
    CK_RV first = CKR_OK;
    for (std::uint32_t at = 0; at < length;) {
        const std::string name(names + at, strnlen(names + at, length - at));
        at += static_cast<std::uint32_t>(name.size()) + 1;
        if (name.empty() || represented(objects_, CKO_CERTIFICATE, std::string(), 0, name)) continue;
        pkcs11_object_ref o;
        CK_RV rv = pkcs11_object::make_bare(0, CKO_CERTIFICATE, o);
        pkcs11_attribute_mgr& a = o->attributes();
        if (rv == CKR_OK) rv = a.set(CKA_ID, nullptr, 0);
        if (rv == CKR_OK) rv = a.set_bool(CKA_TOKEN, true);
        if (rv == CKR_OK) rv = a.set_u32(CKA_CERTIFICATE_TYPE, CKC_X_509);
        if (rv == CKR_OK) rv = a.set(CKA_VENDOR_STORE_NAME, name.data(), name.size());
        if (rv == CKR_OK) rv = a.set_u32(CKA_VENDOR_KEY_SPEC, 0);
        if (rv == CKR_OK && objects_.append(o) == 0) rv = CKR_HOST_MEMORY;
        if (first == CKR_OK) first = rv;
    }
    return first;
}

CK_RV pkcs11_container_manager::load() {
    std::size_t count = 0;
    standalone_names listed;
    const CK_RV rv = load_all(count, &listed);
    const CK_RV standalone =
        listed.read ? add_standalone_certificates(listed.names, listed.length) : load_standalone_certificates();
    return rv != CKR_OK ? rv : standalone;
}

CK_RV pkcs11_container_manager::reload() {
    // Session objects stay.
    drop_objects([](const pkcs11_object&) { return true; });
    containers_.clear();
    return load();
}

// ---- the vendor functions' work -----------------------------------------------

CK_RV pkcs11_container_manager::create_container(const std::string& name) {
    if (!valid_name(name)) return CKR_ATTRIBUTE_VALUE_INVALID;
    if (find(name) != nullptr) return CKR_VENDOR_CONTAINER_EXISTS;
    std::int32_t index = -1;
    const std::int32_t status = on_card([&](card_handle h) {
        cardfs_transaction t(h);
        if (t.status() != 0) return t.status();
        std::int32_t s = cardfs_find_free_container(h, &index);
        if (s == 0) s = cardfs_create_container(h, index, name.c_str());
        if (s == 0) s = cardfs_bump_cache_freshness(h);
        return s;
    });
    if (status != 0) return card_rv(status);
    containers_.push_back({name, index});
    return CKR_OK;
}

void pkcs11_container_manager::drop_objects(const std::function<bool(const pkcs11_object&)>& which) {
    std::vector<CK_OBJECT_HANDLE> gone;
    for (std::size_t i = 0; i < objects_.count(); ++i) {
        const pkcs11_object& o = *objects_.at(i);
        const CK_OBJECT_CLASS c = o.object_class();
        if (o.is_token_object() && (c == CKO_CERTIFICATE || c == CKO_PUBLIC_KEY || c == CKO_PRIVATE_KEY) &&
            which(o))
            gone.push_back(o.handle());
    }
    for (CK_OBJECT_HANDLE h : gone) objects_.remove(h);
}

CK_RV pkcs11_container_manager::delete_container(const std::string& name) {
    const pkcs11_container* c = find(name);
    if (c == nullptr) return CKR_OK;
    const std::int32_t index = c->index;
    const std::int32_t status = on_card([&](card_handle h) {
        cardfs_transaction t(h);
        if (t.status() != 0) return t.status();
        std::int32_t s = cardfs_delete_container_keys(h, index);
        if (s == 0) s = cardfs_bump_cache_freshness(h);
        return s;
    });
    if (status != 0) return card_rv(status);
    drop_objects([&name](const pkcs11_object& o) {
        return o.attributes().has(CKA_VENDOR_CONTAINER_NAME) && name_of(o) == name;
    });
    for (auto it = containers_.begin(); it != containers_.end(); ++it) {
        if (it->name == name) {
            containers_.erase(it);
            break;
        }
    }
    return CKR_OK;
}

CK_RV pkcs11_container_manager::enumerate(char* buffer, CK_ULONG* length) {
    if (length == nullptr) return CKR_ARGUMENTS_BAD;
    if (containers_.empty()) {
        std::size_t count = 0;
        const CK_RV rv = load_all(count);
        if (rv != CKR_OK) return rv;
    }
    std::size_t total = 0;
    for (const pkcs11_container& c : containers_) total += c.name.size() + 1;
    const CK_ULONG capacity = *length;
    *length = static_cast<CK_ULONG>(total);
    if (buffer == nullptr) return CKR_OK;
    if (capacity < total) return CKR_BUFFER_TOO_SMALL;
    for (const pkcs11_container& c : containers_) {
        std::memcpy(buffer, c.name.c_str(), c.name.size() + 1);
        buffer += c.name.size() + 1;
    }
    return CKR_OK;
}

CK_RV pkcs11_container_manager::container_info(const std::string& name, pkcs11_container_info& info) {
    const pkcs11_container* c = find(name);
    if (c == nullptr) return CKR_VENDOR_CONTAINER_NOT_FOUND;
    std::uint8_t map_bytes[cardfs_cmap_record_size];
    std::uint8_t cont_bytes[cardfs_cont_info_record_size];
    const std::int32_t index = c->index;
    const std::int32_t status = on_card([&](card_handle h) {
        std::int32_t s = cardfs_read_cmap_record(h, index, map_bytes);
        if (s == 0) s = cardfs_read_cont_info(h, index, cont_bytes);
        return s;
    });
    if (status != 0) return card_rv(status);
    cardfs_cmap_record map{};
    cardfs_cont_info_record record{};
    if (cardfs_decode_cmap_record(map_bytes, sizeof map_bytes, &map) != 0 ||
        cardfs_decode_cont_info(cont_bytes, sizeof cont_bytes, &record) != 0)
        return CKR_DEVICE_ERROR;
    info.signature_bits = map.signature_bits;
    info.exchange_bits = map.exchange_bits;
    info.signature_cert = record.signature_cert;
    info.exchange_cert = record.exchange_cert;
    return CKR_OK;
}

// ---- new token objects ---------------------------------------------------------

CK_RV pkcs11_container_manager::new_container_name(std::string& name) const {
    for (int i = 0; i < draws; ++i) {
        const std::string hex = random_hex(10);
        if (hex.empty()) return CKR_FUNCTION_FAILED;
        name = "cont_" + hex;
        if (find(name) == nullptr) return CKR_OK;
    }
    return CKR_FUNCTION_FAILED;
}

CK_RV pkcs11_container_manager::new_key_id(std::string& id) const {
    for (int i = 0; i < draws; ++i) {
        id = random_hex(16);
        if (id.empty()) return CKR_FUNCTION_FAILED;
        bool used = false;
        for (std::size_t k = 0; k < objects_.count() && !used; ++k) {
            const bytes v = value_of(*objects_.at(k), CKA_ID);
            used = std::string(v.begin(), v.end()) == id;
        }
        if (!used) return CKR_OK;
    }
    return CKR_FUNCTION_FAILED;
}

CK_RV pkcs11_container_manager::assign_container(pkcs11_object& object) {
    pkcs11_attribute_mgr& a = object.attributes();
    if (a.has(CKA_VENDOR_CONTAINER_NAME)) {
        if (!valid_name(name_of(object))) return CKR_ATTRIBUTE_VALUE_INVALID;
        return object.ensure_key_spec();
    }
    const bool certificate = object.object_class() == CKO_CERTIFICATE;
    if (!has_value(object, CKA_ID)) {
        if (!has_value(object, CKA_LABEL)) return certificate ? CKR_OK : CKR_ATTRIBUTE_TYPE_INVALID;
        const bytes label = value_of(object, CKA_LABEL);
        const CK_RV rv = a.set(CKA_ID, label.data(), label.size());
        if (rv != CKR_OK) return rv;
    }
    const bytes id = value_of(object, CKA_ID);
    if (id.size() > id_max) return CKR_ATTRIBUTE_VALUE_INVALID;
    std::string name;
    for (std::size_t i = 0; i < objects_.count() && name.empty(); ++i) {
        const pkcs11_object& o = *objects_.at(i);
        if (&o == &object || !o.is_token_object() || value_of(o, CKA_ID) != id) continue;
        const CK_RV rv = a.set_u32(CKA_VENDOR_KEY_SPEC, o.key_spec());
        if (rv != CKR_OK) return rv;
        if (o.attributes().has(CKA_VENDOR_CONTAINER_NAME)) name = name_of(o);
    }
    if (name.empty()) {
        const CK_RV rv = new_container_name(name);
        if (rv != CKR_OK) return rv;
    }
    CK_RV rv = object.ensure_key_spec();
    if (rv == CKR_OK) rv = a.set(CKA_VENDOR_CONTAINER_NAME, name.data(), name.size());
    return rv;
}

CK_RV pkcs11_container_manager::find_or_create(const pkcs11_object& object, const pkcs11_container*& out,
                                               bool& created) {
    created = false;
    CK_RV rv = container_of(object, out);
    if (rv != CKR_VENDOR_CONTAINER_NOT_FOUND) return rv;
    rv = create_container(name_of(object));
    if (rv != CKR_OK) return rv;
    created = true;
    return container_of(object, out);
}

CK_RV pkcs11_container_manager::drop_if_empty(const pkcs11_container& container) {
    const std::int32_t index = container.index;
    bool empty = false;
    const std::int32_t status = on_card([&](card_handle h) {
        cardfs_transaction t(h);
        if (t.status() != 0) return t.status();
        std::uint8_t map_bytes[cardfs_cmap_record_size];
        std::uint8_t cont_bytes[cardfs_cont_info_record_size];
        std::int32_t s = cardfs_read_cmap_record(h, index, map_bytes);
        if (s == 0) s = cardfs_read_cont_info(h, index, cont_bytes);
        if (s != 0) return s;
        cardfs_cmap_record map{};
        cardfs_cont_info_record record{};
        if (cardfs_decode_cmap_record(map_bytes, sizeof map_bytes, &map) != 0 ||
            cardfs_decode_cont_info(cont_bytes, sizeof cont_bytes, &record) != 0)
            return static_cast<std::int32_t>(cardfs_store_corrupt);
        empty = map.signature_bits == 0 && map.exchange_bits == 0 && record.signature_cert == 0 &&
                record.exchange_cert == 0;
        if (!empty) return 0;
        s = cardfs_free_container(h, index);
        if (s == 0) s = cardfs_bump_cache_freshness(h);
        return s;
    });
    if (status != 0) return card_rv(status);
    if (empty) {
        const std::string name = container.name;
        for (auto it = containers_.begin(); it != containers_.end(); ++it) {
            if (it->name == name) {
                containers_.erase(it);
                break;
            }
        }
    }
    return CKR_OK;
}

CK_RV pkcs11_container_manager::save_key_parts(const pkcs11_object* public_key, const pkcs11_object* private_key,
                                               bool slot_must_be_free) {
    const pkcs11_object& first = public_key != nullptr ? *public_key : *private_key;
    const pkcs11_container* c = nullptr;
    CK_RV rv = container_of(first, c);
    if (rv != CKR_OK) return rv;
    const std::int32_t spec = static_cast<std::int32_t>(first.key_spec());
    if (!cardfs_valid_spec(spec)) return CKR_ATTRIBUTE_VALUE_INVALID;
    const bytes id = value_of(first, CKA_ID);
    if (id.size() > id_max) return CKR_ATTRIBUTE_VALUE_INVALID;
    const std::int32_t index = c->index;
    const auto fill = [&](cardfs_cont_info_record& record, const pkcs11_object& object, bool is_private) {
        cardfs_key_part& part = is_private ? half_of(record, spec).private_key : half_of(record, spec).public_key;
        put_label(part.label, part.label_length, value_of(object, CKA_LABEL));
        std::uint32_t key_type = 0;
        object.attributes().get_u32(CKA_KEY_TYPE, key_type);
        part.key_type = key_type;
        part.bits = is_private ? save_bits(object.attributes(), private_bits, part.bits)
                               : save_bits(object.attributes(), public_bits, part.bits) | public_always;
    };
    const std::int32_t status = on_card([&](card_handle h) {
        cardfs_transaction t(h);
        if (t.status() != 0) return t.status();
        std::int32_t s = 0;
        if (slot_must_be_free) {
            // The parts of a key that is still to come: a slot that holds a
            // key keeps its parts.
            std::uint8_t map_bytes[cardfs_cmap_record_size];
            cardfs_cmap_record map{};
            s = cardfs_read_cmap_record(h, index, map_bytes);
            if (s != 0) return s;
            if (cardfs_decode_cmap_record(map_bytes, sizeof map_bytes, &map) != 0)
                return static_cast<std::int32_t>(cardfs_store_corrupt);
            if ((spec == cardfs_spec_signature ? map.signature_bits : map.exchange_bits) != 0)
                return static_cast<std::int32_t>(cardfs_slot_occupied);
        }
        std::uint8_t bytes_[cardfs_cont_info_record_size];
        s = cardfs_read_cont_info(h, index, bytes_);
        if (s != 0) return s;
        cardfs_cont_info_record record{};
        if (cardfs_decode_cont_info(bytes_, sizeof bytes_, &record) != 0)
            return static_cast<std::int32_t>(cardfs_store_corrupt);
        if (public_key != nullptr) fill(record, *public_key, false);
        if (private_key != nullptr) fill(record, *private_key, true);
        put_id(record, spec, id);
        s = cardfs_encode_cont_info(record, bytes_);
        if (s == 0) s = cardfs_write_cont_info(h, index, bytes_);
        return s;
    });
    return card_rv(status);
}

CK_RV pkcs11_container_manager::save_key_part(const pkcs11_object& object, bool is_private) {
    return is_private ? save_key_parts(nullptr, &object, false) : save_key_parts(&object, nullptr, false);
}

CK_RV pkcs11_container_manager::import_rsa(const pkcs11_container& container, std::int32_t spec,
                                           pkcs11_object& object) {
    const bytes n = stripped(value_of(object, CKA_MODULUS));
    const bytes e = stripped(value_of(object, CKA_PUBLIC_EXPONENT));
    const bytes d = stripped(value_of(object, CKA_PRIVATE_EXPONENT));
    if (n.empty() || e.empty() || d.empty()) return CKR_TEMPLATE_INCOMPLETE;
    std::uint32_t bits = 0;
    CK_RV rv = rsa_bits_of_modulus(n.data(), n.size(), bits);
    if (rv != CKR_OK) return rv;
    const std::size_t k = bits / 8, half = (k + 1) / 2;
    if (e.size() > 4 || d.size() > k) return CKR_ATTRIBUTE_VALUE_INVALID;

    const std::uint32_t crt_types[] = {CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1, CKA_EXPONENT_2, CKA_COEFFICIENT};
    bytes crt[5];
    bool complete = true;
    for (int i = 0; i < 5; ++i) {
        crt[i] = stripped(value_of(object, crt_types[i]));
        if (crt[i].empty()) complete = false;
        if (crt[i].size() > half) return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    // The card computes with the CRT values: a key given as n, e and d alone
    // gets its primes and CRT values first.
    mbedtls_rsa_context rsa;
    mbedtls_rsa_init(&rsa, MBEDTLS_RSA_PKCS_V15, 0);
    int status = complete ? mbedtls_rsa_import_raw(&rsa, n.data(), n.size(), crt[0].data(), crt[0].size(),
                                                   crt[1].data(), crt[1].size(), d.data(), d.size(), e.data(),
                                                   e.size())
                          : mbedtls_rsa_import_raw(&rsa, n.data(), n.size(), nullptr, 0, nullptr, 0, d.data(),
                                                   d.size(), e.data(), e.size());
    if (status == 0) status = mbedtls_rsa_complete(&rsa);
    if (status == 0) status = mbedtls_rsa_check_privkey(&rsa);
    // The card takes the CRT values as given: they must be the key's.
    const mbedtls_mpi* computed[] = {&rsa.DP, &rsa.DQ, &rsa.QP};
    for (int i = 0; i < 3 && complete && status == 0; ++i)
        if (stripped(mpi_bytes(*computed[i])) != crt[i + 2]) status = MBEDTLS_ERR_RSA_KEY_CHECK_FAILED;
    secret_block private_block(cardfs_private_block_size(cardfs_key_algorithm(bits)));
    bytes public_block(cardfs_public_block_size(cardfs_key_algorithm(bits)), 0);
    if (status == 0) {
        std::memcpy(private_block.b.data(), &bits, 4);
        std::memcpy(public_block.data(), &bits, 4);
        const struct {
            const mbedtls_mpi* v;
            std::uint8_t* at;
            std::size_t width;
        } fields[] = {
            {&rsa.N, public_block.data() + 4, 256},          {&rsa.E, public_block.data() + 260, 4},
            {&rsa.D, private_block.b.data() + 4, 256},       {&rsa.E, private_block.b.data() + 260, 4},
            {&rsa.P, private_block.b.data() + 264, 128},     {&rsa.Q, private_block.b.data() + 392, 128},
            {&rsa.DP, private_block.b.data() + 520, 128},    {&rsa.DQ, private_block.b.data() + 648, 128},
            {&rsa.QP, private_block.b.data() + 776, 128},
        };
        for (const auto& f : fields)
            if (status == 0) status = mbedtls_mpi_write_binary(f.v, f.at, f.width);
    }
    mbedtls_rsa_free(&rsa);
    if (status != 0) return CKR_ATTRIBUTE_VALUE_INVALID;
    const std::int32_t index = container.index;
    const std::int32_t card = on_card([&](card_handle h) {
        return cardfs_import_key_pair(h, index, spec, bits, private_block.b.data(), public_block.data());
    });
    if (card != 0) return card_rv(card);
    // The private values live on the card only.
    for (std::uint32_t type : {CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1, CKA_EXPONENT_2,
                               CKA_COEFFICIENT})
        object.attributes().remove(type);
    const bytes minimal = rsa_minimal_exponent(e.data(), e.size());
    rv = object.attributes().set(CKA_PUBLIC_EXPONENT, minimal.data(), minimal.size());
    if (rv == CKR_OK) rv = object.attributes().set_u32(CKA_MODULUS_BITS, bits);
    return rv;
}

CK_RV pkcs11_container_manager::import_ec_private(const pkcs11_container& container, std::int32_t spec,
                                                  pkcs11_object& object) {
    std::uint32_t bits = 0;
    if (ec_bits_of(object, bits) != CKR_OK) return CKR_ATTRIBUTE_VALUE_INVALID;
    const pkcs11_attribute* value = object.attributes().find(CKA_VALUE);
    if (value == nullptr) return CKR_TEMPLATE_INCOMPLETE;
    const std::uint8_t* d = value->value.data();
    std::size_t n = value->value.size();
    while (n != 0 && *d == 0) {
        ++d;
        --n;
    }
    if (n == 0 || n > ec_coordinate_length(bits) || !ec_value_valid(bits, d, n, false))
        return CKR_ATTRIBUTE_VALUE_INVALID;
    secret_block block(SOLVANTA_EC_PRIVATE_BLOCK_SIZE);
    std::memcpy(block.b.data(), &bits, 4);
    std::memcpy(block.b.data() + SOLVANTA_EC_PRIVATE_D_OFFSET + SOLVANTA_EC_PRIVATE_D_SIZE - n, d, n);
    const std::int32_t index = container.index;
    std::int32_t status =
        on_card([&](card_handle h) { return cardfs_import_ec_private_key(h, index, spec, block.b.data()); });
    if (status == cardfs_slot_occupied &&
        !represented(objects_, CKO_PRIVATE_KEY, container.name, static_cast<std::uint32_t>(spec), std::string())) {
        // The slot holds the public key imported alone: the private key
        // joins it when it is that key's (the card compares them).
        status = on_card([&](card_handle h) { return cardfs_complete_ec_key_pair(h, index, spec, block.b.data()); });
        if (status == zervik::sw_wrong_data || status == cardfs_bad_key_size) return CKR_TEMPLATE_INCONSISTENT;
    }
    if (status != 0) return card_rv(status);
    // The private value lives on the card only.
    object.attributes().remove(CKA_VALUE);
    return CKR_OK;
}

CK_RV pkcs11_container_manager::import_ec_public(const pkcs11_container& container, std::int32_t spec,
                                                 pkcs11_object& object) {
    std::uint32_t bits = 0;
    if (ec_bits_of(object, bits) != CKR_OK) return CKR_ATTRIBUTE_VALUE_INVALID;
    const pkcs11_attribute* value = object.attributes().find(CKA_EC_POINT);
    if (value == nullptr) return CKR_OK;
    const std::size_t coordinate = ec_coordinate_length(bits);
    const std::uint8_t* raw = nullptr;
    CK_RV rv = ec_raw_point(value->value.data(), value->value.size(), coordinate, &raw);
    if (rv != CKR_OK) return rv;
    if (!ec_value_valid(bits, raw, 2 * coordinate + 1, true)) return CKR_ATTRIBUTE_VALUE_INVALID;
    std::uint8_t block[SOLVANTA_EC_PUBLIC_BLOCK_SIZE] = {};
    std::memcpy(block, &bits, 4);
    std::memcpy(block + SOLVANTA_EC_PUBLIC_X_OFFSET + SOLVANTA_EC_COORDINATE_SIZE - coordinate, raw + 1, coordinate);
    std::memcpy(block + SOLVANTA_EC_PUBLIC_Y_OFFSET + SOLVANTA_EC_COORDINATE_SIZE - coordinate,
                raw + 1 + coordinate, coordinate);
    const std::int32_t index = container.index;
    const std::int32_t status =
        on_card([&](card_handle h) { return cardfs_import_ec_public_key(h, index, spec, block); });
    if (status != cardfs_slot_occupied) return card_rv(status);
    // The slot holds a key already (its private key came first, or it was
    // generated): the object names that key, or it is refused.
    std::uint8_t held[SOLVANTA_RSA_PUBLIC_BLOCK_SIZE] = {};
    std::int32_t length = sizeof held;
    rv = read_public_block(index, spec, held, length);
    if (rv != CKR_OK) return rv;
    std::uint32_t held_bits = 0;
    std::memcpy(&held_bits, held, 4);
    if (length != SOLVANTA_EC_PUBLIC_BLOCK_SIZE || held_bits != bits ||
        ec_point_of_block(held, bits) != bytes(raw, raw + 2 * coordinate + 1))
        return CKR_TEMPLATE_INCONSISTENT;
    return CKR_OK;
}

CK_RV pkcs11_container_manager::place(pkcs11_object& object, pkcs11_container& kept, bool& created) {
    CK_RV rv = assign_container(object);
    if (rv != CKR_OK) return rv;
    const pkcs11_container* c = nullptr;
    rv = find_or_create(object, c, created);
    if (rv == CKR_OK) kept = *c;
    return rv;
}

CK_RV pkcs11_container_manager::store_public_key(pkcs11_object& object) {
    pkcs11_container kept;
    bool created = false;
    CK_RV rv = place(object, kept, created);
    if (rv != CKR_OK) return rv;
    std::uint32_t key_type = CKK_RSA;
    object.attributes().get_u32(CKA_KEY_TYPE, key_type);
    if (key_type == CKK_EC && object.attributes().has(CKA_EC_POINT)) {
        const std::int32_t spec = static_cast<std::int32_t>(object.key_spec());
        rv = cardfs_valid_spec(spec) ? import_ec_public(kept, spec, object) : CKR_ATTRIBUTE_VALUE_INVALID;
    }
    if (rv == CKR_OK) rv = save_key_part(object, false);
    if (rv != CKR_OK && created) drop_if_empty(kept);
    return rv;
}

CK_RV pkcs11_container_manager::store_private_key(pkcs11_object& object) {
    pkcs11_container kept;
    bool created = false;
    CK_RV rv = place(object, kept, created);
    if (rv != CKR_OK) return rv;
    std::uint32_t key_type = CKK_RSA;
    object.attributes().get_u32(CKA_KEY_TYPE, key_type);
    const bool has_private_values = has_value(object, CKA_PRIVATE_EXPONENT) || has_value(object, CKA_VALUE);
    if (has_private_values) {
        // The key's part of "contInfo" goes first: the import enters the
        // key's size last, so a key cut off on its way in is never listed
        // without its label and attributes.
        const std::int32_t spec = static_cast<std::int32_t>(object.key_spec());
        if (!cardfs_valid_spec(spec)) {
            rv = CKR_ATTRIBUTE_VALUE_INVALID;
        } else if (key_type != CKK_RSA && key_type != CKK_EC) {
            rv = CKR_KEY_TYPE_INCONSISTENT;
        } else {
            rv = save_key_parts(nullptr, &object, true);
            if (rv == CKR_OK) {
                rv = key_type == CKK_RSA ? import_rsa(kept, spec, object) : import_ec_private(kept, spec, object);
            } else if (rv == CKR_TEMPLATE_INCONSISTENT && key_type == CKK_EC) {
                // The slot holds a key: the public key imported alone, which
                // the private key joins before its part is written.
                rv = import_ec_private(kept, spec, object);
                if (rv == CKR_OK) rv = save_key_part(object, true);
            }
        }
    } else {
        rv = save_key_part(object, true);
    }
    if (rv != CKR_OK && created) drop_if_empty(kept);
    return rv;
}

CK_RV pkcs11_container_manager::store_certificate(pkcs11_object& object) {
    const pkcs11_attribute* value = object.attributes().find(CKA_VALUE);
    if (value == nullptr) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (value->value.empty() || value->value.size() > cert_max) return CKR_ATTRIBUTE_VALUE_INVALID;
    const bytes der = value->value;
    CK_RV rv = assign_container(object);
    if (rv != CKR_OK) return rv;
    if (!object.attributes().has(CKA_VENDOR_CONTAINER_NAME)) {
        char name[8] = {};
        const std::int32_t status = on_card([&](card_handle h) {
            return cardfs_write_standalone_cert(h, der.data(), static_cast<std::uint32_t>(der.size()), name);
        });
        if (status != 0) return card_rv(status);
        rv = object.attributes().set(CKA_VENDOR_STORE_NAME, name, std::strlen(name));
        if (rv == CKR_OK) rv = object.attributes().set_u32(CKA_VENDOR_KEY_SPEC, 0);
        return rv;
    }
    const pkcs11_container* c = nullptr;
    bool created = false;
    rv = find_or_create(object, c, created);
    if (rv != CKR_OK) return rv;
    const pkcs11_container kept = *c;
    const std::int32_t spec = static_cast<std::int32_t>(object.key_spec());
    const bytes id = value_of(object, CKA_ID);
    if (!cardfs_valid_spec(spec) || id.size() > id_max) rv = CKR_ATTRIBUTE_VALUE_INVALID;
    // The certificate's part of "contInfo" first: the file makes the
    // certificate present, so it is written last.
    if (rv == CKR_OK) rv = save_cert_part(object, kept);
    if (rv == CKR_OK)
        rv = card_rv(on_card([&](card_handle h) {
            return cardfs_write_cert(h, kept.index, spec, der.data(), static_cast<std::uint32_t>(der.size()));
        }));
    if (rv != CKR_OK && created) drop_if_empty(kept);
    return rv;
}

CK_RV pkcs11_container_manager::save_cert_part(const pkcs11_object& object, const pkcs11_container& container) {
    const std::int32_t spec = static_cast<std::int32_t>(object.key_spec());
    const bytes id = value_of(object, CKA_ID);
    if (!cardfs_valid_spec(spec) || id.size() > id_max) return CKR_ATTRIBUTE_VALUE_INVALID;
    bytes label = value_of(object, CKA_LABEL);
    if (label.empty()) {
        label.assign(container.name.begin(), container.name.end());
        label.push_back(0);
    }
    const std::int32_t index = container.index;
    return card_rv(on_card([&](card_handle h) {
        cardfs_transaction t(h);
        if (t.status() != 0) return t.status();
        std::uint8_t record_bytes[cardfs_cont_info_record_size];
        std::int32_t s = cardfs_read_cont_info(h, index, record_bytes);
        if (s != 0) return s;
        cardfs_cont_info_record record{};
        if (cardfs_decode_cont_info(record_bytes, sizeof record_bytes, &record) != 0)
            return static_cast<std::int32_t>(cardfs_store_corrupt);
        cardfs_cert_part& part = half_of(record, spec).cert;
        put_label(part.label, part.label_length, label);
        part.bits = save_bits(object.attributes(), cert_bits, part.bits);
        put_id(record, spec, id);
        s = cardfs_encode_cont_info(record, record_bytes);
        if (s == 0) s = cardfs_write_cont_info(h, index, record_bytes);
        return s;
    }));
}

CK_RV pkcs11_container_manager::update(const pkcs11_object& object, const pkcs11_attribute_mgr& updated) {
    if (!object.is_token_object()) return CKR_OK;
    const CK_OBJECT_CLASS c = object.object_class();
    if (c == CKO_CERTIFICATE && !object.attributes().has(CKA_VENDOR_CONTAINER_NAME)) return CKR_OK;
    // The attributes as they will be, on an object of the same class.
    pkcs11_object_ref changed;
    CK_RV rv = pkcs11_object::make_bare(object.session(), c, changed);
    if (rv == CKR_OK) rv = changed->attributes().copy_from(updated);
    if (rv != CKR_OK) return rv;
    // The container is the object's; a change of name or key spec does not move it.
    for (std::uint32_t type : {CKA_VENDOR_CONTAINER_NAME, CKA_VENDOR_KEY_SPEC}) {
        const bytes v = value_of(object, type);
        rv = object.attributes().has(type) ? changed->attributes().set(type, v.data(), v.size()) : CKR_OK;
        if (rv != CKR_OK) return rv;
    }
    if (c != CKO_CERTIFICATE) return save_key_part(*changed, c == CKO_PRIVATE_KEY);
    const pkcs11_container* container = nullptr;
    rv = container_of(object, container);
    return rv == CKR_OK ? save_cert_part(*changed, *container) : rv;
}

CK_RV pkcs11_container_manager::delete_certificate(const pkcs11_object& object) {
    if (!object.attributes().has(CKA_VENDOR_CONTAINER_NAME)) {
        const bytes name = value_of(object, CKA_VENDOR_STORE_NAME);
        if (name.empty()) return CKR_ATTRIBUTE_TYPE_INVALID;
        if (name.size() > 16) return CKR_ATTRIBUTE_VALUE_INVALID;
        const std::string file(name.begin(), name.end());
        return card_rv(on_card([&](card_handle h) { return cardfs_delete_file(h, file.c_str()); }));
    }
    const pkcs11_container* c = nullptr;
    CK_RV rv = container_of(object, c);
    if (rv != CKR_OK) return rv;
    const pkcs11_container kept = *c;
    const std::int32_t spec = static_cast<std::int32_t>(object.key_spec());
    rv = card_rv(on_card([&](card_handle h) { return cardfs_delete_cert(h, kept.index, spec); }));
    return rv == CKR_OK ? drop_if_empty(kept) : rv;
}

CK_RV pkcs11_container_manager::delete_key_pair(const pkcs11_object& object) {
    const pkcs11_container* c = nullptr;
    CK_RV rv = container_of(object, c);
    if (rv != CKR_OK) return rv;
    const pkcs11_container kept = *c;
    const std::int32_t spec = static_cast<std::int32_t>(object.key_spec());
    if (!cardfs_valid_spec(spec)) return CKR_ATTRIBUTE_VALUE_INVALID;
    const std::uint32_t slot = spec == cardfs_spec_exchange ? 1u : 2u;
    rv = card_rv(on_card([&](card_handle h) { return cardfs_clear_key_slot(h, kept.index, slot); }));
    return rv == CKR_OK ? drop_if_empty(kept) : rv;
}

// ---- key-pair generation -------------------------------------------------------

CK_RV pkcs11_container_manager::share_pair_identity(pkcs11_object& public_key, pkcs11_object& private_key) {
    pkcs11_attribute_mgr& pub = public_key.attributes();
    pkcs11_attribute_mgr& pri = private_key.attributes();
    // One container name, CKA_ID and key spec for both halves.
    const auto share = [&](std::uint32_t type, const bytes& fresh) -> CK_RV {
        const pkcs11_attribute* a = pub.find(type);
        const pkcs11_attribute* b = pri.find(type);
        if (a != nullptr && b != nullptr) return a->value == b->value ? CKR_OK : CKR_TEMPLATE_INCONSISTENT;
        const bytes value = a != nullptr ? a->value : b != nullptr ? b->value : fresh;
        CK_RV rv = pub.set(type, value.data(), value.size());
        if (rv == CKR_OK) rv = pri.set(type, value.data(), value.size());
        return rv;
    };
    CK_RV rv = CKR_OK;
    if (!pub.has(CKA_VENDOR_CONTAINER_NAME) && !pri.has(CKA_VENDOR_CONTAINER_NAME)) {
        std::string name;
        rv = new_container_name(name);
        if (rv == CKR_OK) rv = share(CKA_VENDOR_CONTAINER_NAME, bytes(name.begin(), name.end()));
    } else {
        rv = share(CKA_VENDOR_CONTAINER_NAME, bytes());
    }
    if (rv != CKR_OK) return rv;
    if (!valid_name(name_of(public_key))) return CKR_ATTRIBUTE_VALUE_INVALID;
    if (!pub.has(CKA_ID) && !pri.has(CKA_ID)) {
        std::string id;
        rv = new_key_id(id);
        if (rv == CKR_OK) rv = share(CKA_ID, bytes(id.begin(), id.end()));
    } else {
        rv = share(CKA_ID, bytes());
    }
    if (rv != CKR_OK) return rv;
    if (value_of(public_key, CKA_ID).size() > id_max) return CKR_ATTRIBUTE_VALUE_INVALID;
    if (!pub.has(CKA_VENDOR_KEY_SPEC) && !pri.has(CKA_VENDOR_KEY_SPEC)) {
        const std::uint8_t two[4] = {2, 0, 0, 0};
        rv = share(CKA_VENDOR_KEY_SPEC, bytes(two, two + 4));
    } else {
        rv = share(CKA_VENDOR_KEY_SPEC, bytes());
    }
    if (rv != CKR_OK) return rv;
    return cardfs_valid_spec(static_cast<std::int32_t>(public_key.key_spec())) ? CKR_OK : CKR_ATTRIBUTE_VALUE_INVALID;
}

CK_RV pkcs11_container_manager::generate_pair(
    pkcs11_object& public_key, pkcs11_object& private_key, std::uint32_t key_type, std::uint32_t bits,
    const std::function<CK_RV(const std::uint8_t* block, pkcs11_object& key)>& fill) {
    const std::int32_t spec = static_cast<std::int32_t>(public_key.key_spec());
    const pkcs11_container* c = nullptr;
    bool created = false;
    CK_RV rv = find_or_create(public_key, c, created);
    if (rv != CKR_OK) return rv;
    const pkcs11_container kept = *c;
    // Both parts of "contInfo" go first, while the slot is still empty: the
    // card enters the pair's size last, so a pair cut off on its way in is
    // either wholly listed or not at all.
    for (pkcs11_object* o : {&public_key, &private_key}) {
        if (rv == CKR_OK) rv = o->attributes().set_u32(CKA_KEY_TYPE, key_type);
        if (rv == CKR_OK) rv = o->attributes().set_bool(CKA_LOCAL, true);
    }
    if (rv == CKR_OK) rv = save_key_parts(&public_key, &private_key, true);
    if (rv != CKR_OK) {
        if (created) drop_if_empty(kept);
        return rv;
    }
    std::uint8_t block[SOLVANTA_RSA_PUBLIC_BLOCK_SIZE] = {};
    std::int32_t length = sizeof block;
    const std::int32_t status = on_card([&](card_handle h) {
        std::int32_t s = cardfs_generate_key_pair(h, kept.index, spec, bits);
        if (s == 0) s = cardfs_read_public_key(h, kept.index, spec, block, &length);
        return s;
    });
    rv = card_rv(status);
    std::uint32_t block_bits = 0;
    std::memcpy(&block_bits, block, 4);
    if (rv == CKR_OK && block_bits != bits) rv = CKR_DEVICE_ERROR;
    for (pkcs11_object* o : {&public_key, &private_key}) {
        const bool is_public = o == &public_key;
        pkcs11_attribute_mgr& a = o->attributes();
        if (rv == CKR_OK) rv = a.set_u32(CKA_CLASS, is_public ? CKO_PUBLIC_KEY : CKO_PRIVATE_KEY);
        if (rv == CKR_OK) rv = fill(block, *o);
        if (rv == CKR_OK) rv = a.set_bool(CKA_TOKEN, true);
        if (rv == CKR_OK) o->set_values_loaded(true);
    }
    if (rv != CKR_OK && created) {
        // A container made for this generation does not outlive its failure.
        on_card([&](card_handle h) { return cardfs_clear_key_slot(h, kept.index, spec == 1 ? 1u : 2u); });
        drop_if_empty(kept);
    }
    return rv;
}

CK_RV pkcs11_container_manager::generate_rsa_key_pair(pkcs11_object& public_key, pkcs11_object& private_key) {
    CK_RV rv = share_pair_identity(public_key, private_key);
    if (rv != CKR_OK) return rv;
    std::uint32_t bits = 1024;
    pkcs11_attribute_mgr& pub = public_key.attributes();
    if (pub.has(CKA_MODULUS_BITS) && (!pub.get_u32(CKA_MODULUS_BITS, bits) || (bits != 1024 && bits != 2048)))
        return CKR_KEY_SIZE_RANGE;
    return generate_pair(public_key, private_key, CKK_RSA, bits, [bits](const std::uint8_t* block, pkcs11_object& o) {
        const std::size_t k = bits / 8;
        const std::uint8_t* n = block + SOLVANTA_RSA_PUBLIC_N_OFFSET + SOLVANTA_RSA_PUBLIC_N_SIZE - k;
        const bytes e = rsa_minimal_exponent(block + SOLVANTA_RSA_PUBLIC_E_OFFSET, SOLVANTA_RSA_PUBLIC_E_SIZE);
        pkcs11_attribute_mgr& a = o.attributes();
        CK_RV r = a.set_u32(CKA_MODULUS_BITS, bits);
        if (r == CKR_OK) r = a.set(CKA_MODULUS, n, k);
        if (r == CKR_OK) r = a.set(CKA_PUBLIC_EXPONENT, e.data(), e.size());
        return r;
    });
}

CK_RV pkcs11_container_manager::generate_ec_key_pair(pkcs11_object& public_key, pkcs11_object& private_key) {
    // The curve decides before anything is shared or made.
    std::uint32_t bits = 0;
    CK_RV rv = ec_bits_of(public_key, bits);
    if (rv != CKR_OK) return rv;
    rv = share_pair_identity(public_key, private_key);
    if (rv != CKR_OK) return rv;
    const bytes params = value_of(public_key, CKA_EC_PARAMS);
    return generate_pair(public_key, private_key, CKK_EC, bits, [&](const std::uint8_t* block, pkcs11_object& o) {
        const bytes point = ec_point_of_block(block, bits);
        pkcs11_attribute_mgr& a = o.attributes();
        CK_RV r = a.set(CKA_EC_PARAMS, params.data(), params.size());
        if (r == CKR_OK) r = a.set(CKA_EC_POINT, point.data(), point.size());
        return r;
    });
}

// ---- values on demand ----------------------------------------------------------

CK_RV pkcs11_container_manager::read_values(pkcs11_object& object) {
    if (object.values_loaded() || !object.is_token_object()) return CKR_OK;
    pkcs11_attribute_mgr& a = object.attributes();
    const CK_OBJECT_CLASS cls = object.object_class();
    if (cls == CKO_CERTIFICATE) {
        bytes der(cert_max);
        std::uint32_t length = 0;
        std::int32_t status = 0;
        if (a.has(CKA_VENDOR_CONTAINER_NAME)) {
            const pkcs11_container* c = nullptr;
            const CK_RV rv = container_of(object, c);
            if (rv != CKR_OK) return rv;
            const std::int32_t index = c->index;
            const std::int32_t spec = static_cast<std::int32_t>(object.key_spec());
            status = on_card([&](card_handle h) {
                return cardfs_read_cert(h, index, spec, der.data(), static_cast<std::uint32_t>(der.size()), &length);
            });
            if (status == cardfs_buffer_too_small) return CKR_DEVICE_ERROR;
        } else {
            const bytes name = value_of(object, CKA_VENDOR_STORE_NAME);
            if (name.empty()) return CKR_ATTRIBUTE_TYPE_INVALID;
            if (name.size() > 16) return CKR_ATTRIBUTE_VALUE_INVALID;
            const std::string file(name.begin(), name.end());
            status = on_card([&](card_handle h) {
                return cardfs_read_file(h, file.c_str(), 0, static_cast<std::uint32_t>(der.size()), der.data(),
                                        &length);
            });
        }
        if (status != 0) return card_rv(status);
        der.resize(length);
        CK_RV rv = a.set(CKA_VALUE, der.data(), der.size());
        if (rv == CKR_OK) rv = a.set_u32(CKA_CERTIFICATE_TYPE, CKC_X_509);
        if (rv == CKR_OK && a.has(CKA_VENDOR_CONTAINER_NAME) && !has_value(object, CKA_LABEL)) {
            const std::string name = name_of(object);
            rv = a.set(CKA_LABEL, name.data(), name.size());
        }
        if (rv == CKR_OK) rv = set_certificate_attributes(object, der.data(), der.size());
        if (rv == CKR_OK) object.set_values_loaded(true);
        return rv;
    }
    if (cls != CKO_PUBLIC_KEY && cls != CKO_PRIVATE_KEY) return CKR_OK;
    if (!a.has(CKA_VENDOR_CONTAINER_NAME)) return CKR_OK;
    std::uint32_t key_type = 0;
    if (!a.get_u32(CKA_KEY_TYPE, key_type)) return CKR_KEY_TYPE_INCONSISTENT;
    const pkcs11_container* c = nullptr;
    CK_RV rv = container_of(object, c);
    if (rv != CKR_OK) return rv;
    const std::int32_t index = c->index;
    const std::int32_t spec = static_cast<std::int32_t>(object.key_spec());
    std::uint8_t block[SOLVANTA_RSA_PUBLIC_BLOCK_SIZE] = {};
    std::int32_t length = sizeof block;
    rv = read_public_block(index, spec, block, length);
    if (rv != CKR_OK) return rv;
    std::uint32_t bits = 0;
    std::memcpy(&bits, block, 4);
    if (key_type == CKK_RSA) {
        if (length != SOLVANTA_RSA_PUBLIC_BLOCK_SIZE || (bits != 1024 && bits != 2048)) return CKR_DEVICE_ERROR;
        const std::size_t k = bits / 8;
        const bytes e = rsa_minimal_exponent(block + SOLVANTA_RSA_PUBLIC_E_OFFSET, SOLVANTA_RSA_PUBLIC_E_SIZE);
        rv = a.set(CKA_MODULUS, block + SOLVANTA_RSA_PUBLIC_N_OFFSET + SOLVANTA_RSA_PUBLIC_N_SIZE - k, k);
        if (rv == CKR_OK) rv = a.set(CKA_PUBLIC_EXPONENT, e.data(), e.size());
    } else {
        if (length != SOLVANTA_EC_PUBLIC_BLOCK_SIZE || (bits != 256 && bits != 521)) return CKR_DEVICE_ERROR;
        const bytes point = ec_point_of_block(block, bits);
        rv = a.set(CKA_EC_POINT, point.data(), point.size());
    }
    if (rv != CKR_OK) return rv;
    object.set_values_loaded(true);
    // The key takes the names of its container's certificate when it has none.
    if (!has_value(object, CKA_SUBJECT)) {
        bytes der(cert_max);
        std::uint32_t cert_length = 0;
        if (on_card([&](card_handle h) {
                return cardfs_read_cert(h, index, spec, der.data(), static_cast<std::uint32_t>(der.size()),
                                        &cert_length);
            }) == 0)
            set_certificate_attributes(object, der.data(), cert_length);
    }
    return CKR_OK;
}

CK_RV pkcs11_container_manager::read_public_block(std::int32_t index, std::int32_t spec, std::uint8_t* block,
                                                   std::int32_t& length) {
    return card_rv(on_card([&](card_handle h) { return cardfs_read_public_key(h, index, spec, block, &length); }));
}

CK_RV pkcs11_container_manager::private_key_id(const pkcs11_object& object, std::uint16_t& id) const {
    const pkcs11_container* c = nullptr;
    const CK_RV rv = container_of(object, c);
    if (rv != CKR_OK) return rv == CKR_ATTRIBUTE_TYPE_INVALID ? CKR_VENDOR_CONTAINER_NOT_FOUND : rv;
    const std::int32_t spec = static_cast<std::int32_t>(object.key_spec());
    if (!cardfs_valid_container(c->index) || !cardfs_valid_spec(spec)) return CKR_VENDOR_CONTAINER_NOT_FOUND;
    id = cardfs_private_key_id(c->index, spec);
    return CKR_OK;
}

std::unique_ptr<pkcs11_rsa_key_source> pkcs11_container_manager::rsa_key_source(const pkcs11_object_ref& key) {
    return std::make_unique<container_rsa_key>(*this, key);
}

std::shared_ptr<pkcs11_rsa_card> pkcs11_container_manager::rsa_card() const { return card_; }

ecdsa_card_signer pkcs11_container_manager::ecdsa_signer(const pkcs11_object_ref& key) {
    std::shared_ptr<pkcs11_rsa_card> card = card_;
    return [this, key, card](std::uint32_t hash_id, const std::uint8_t* data, std::int32_t length,
                             std::uint8_t* out, std::int32_t* out_length) -> std::int32_t {
        std::uint16_t id = 0;
        const CK_RV rv = private_key_id(*key, id);
        if (rv != CKR_OK) return static_cast<std::int32_t>(rv);
        if (length < 0 || out_length == nullptr || *out_length < 0) return static_cast<std::int32_t>(CKR_ARGUMENTS_BAD);
        std::size_t n = static_cast<std::size_t>(*out_length);
        const std::int32_t status = card->sign(id, hash_id, data, static_cast<std::size_t>(length), out, &n);
        if (status == 0) *out_length = static_cast<std::int32_t>(n);
        return status;
    };
}

}  // namespace pkcs11
