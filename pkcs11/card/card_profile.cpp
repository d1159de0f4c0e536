#include "card_profile.h"

#include <cstring>

#include "apdu/apdu_command.h"
#include "protocol/byte_order.h"
#include "protocol/command_form.h"
#include "protocol/device_manager.h"
#include "protocol/pin_manager.h"
#include "protocol/session_key_manager.h"
#include "protocol/status.h"
#include "sm/aes.h"
#include "sm/kas.h"
#include "sm/wipe.h"
#include "solvanta_card_config.h"

namespace solvantex {

using namespace zervik;

// ---- the flag -----------------------------------------------------------

namespace {

std::atomic<std::int32_t> sm_flag{0};

}  // namespace

std::int32_t module_sm_flag() { return sm_flag.load(std::memory_order_relaxed); }

void set_module_sm_flag(std::int32_t value) { sm_flag.store(value != 0 ? 1 : 0, std::memory_order_relaxed); }

sm_flag_scope::sm_flag_scope(std::int32_t value) : previous_(module_sm_flag()) { set_module_sm_flag(value); }

sm_flag_scope::~sm_flag_scope() { set_module_sm_flag(previous_); }

// ---- builders -----------------------------------------------------------

namespace {

constexpr class_rule flag = class_rule::follows_flag;
constexpr class_rule fixed = class_rule::fixed;

constexpr command_form save_session_form{"SaveSession", apdu_case1, 0x80, flag, 0x18, 0x00, 0x00, 0};
constexpr command_form load_session_form{"LoadSession", apdu_case1, 0x80, flag, 0x19, 0x00, 0x00, 0};
constexpr command_form enable_cd_form{"EnableDisableCD", apdu_case1, 0xF0, fixed, 0x40, 0x00, 0x00, 0};

// Format record fields: offsets and widths.
constexpr std::size_t marker_at = 0, marker_width = 18;
constexpr std::size_t manufacturer_at = 18, second_name_at = 50, label_at = 82, serial_at = 114;
constexpr std::size_t name_width = 32, serial_chars = 16;
constexpr std::size_t version_at = 150, mode_at = 160, mode_tag_at = 161, mf_at = 162;
constexpr std::size_t first_key_at = 164;
constexpr std::size_t key_block_size = 37;  // type u32, key 32, tries u8
constexpr std::uint32_t device_key_type = 0x40002020;
constexpr std::uint8_t key_tries[3] = {10, 16, 10};
constexpr std::size_t device_key_size = 32;

static_assert(sizeof SOLVANTA_FORMAT_ENABLE_MARKER == marker_width, "17-character marker and its NUL");
static_assert(sizeof SOLVANTA_DEVICE_KEY == device_key_size + 1, "32-character device key");
static_assert(first_key_at + 3 * key_block_size == module_format_record_size, "record size");

bool put_text(std::uint8_t* field, std::size_t width, const char* text) {
    if (text == nullptr) return false;
    std::size_t n = 0;
    while (n < width && text[n] != '\0') ++n;
    std::memcpy(field, text, n);
    return true;
}

}  // namespace

std::int32_t build_module_format_record(const module_format_parameters& p,
                                        std::uint8_t record[module_format_record_size]) {
    std::memset(record, 0, module_format_record_size);
    std::memcpy(record + marker_at, SOLVANTA_FORMAT_ENABLE_MARKER, marker_width);
    if (!put_text(record + manufacturer_at, name_width - 1, p.manufacturer) ||
        !put_text(record + second_name_at, name_width - 1, p.second_name) ||
        !put_text(record + label_at, name_width - 1, p.label) ||
        !put_text(record + serial_at, serial_chars, p.serial)) {
        std::memset(record, 0, module_format_record_size);
        return status_unusable;
    }
    put_u32(record + version_at, 0x00020000);
    record[mode_at] = p.working_mode;
    record[mode_tag_at] = 2;
    record[mf_at] = 'M';
    record[mf_at + 1] = 'F';
    for (std::size_t i = 0; i < 3; ++i) {
        std::uint8_t* block = record + first_key_at + i * key_block_size;
        put_u32(block, device_key_type);
        std::memcpy(block + 4, SOLVANTA_DEVICE_KEY, device_key_size);
        block[4 + device_key_size] = key_tries[i];
    }
    return status_ok;
}

TaviPrototcol_ModuleProfile::~TaviPrototcol_ModuleProfile() = default;

std::int32_t TaviPrototcol_ModuleProfile::build_save_session(std::uint8_t session_slot, std::uint8_t saved_slot) {
    return build(save_session_form.with_p1(saved_slot).with_p2(session_slot), nullptr, 0);
}

std::int32_t TaviPrototcol_ModuleProfile::build_load_session(std::uint8_t session_slot, std::uint8_t saved_slot) {
    return build(load_session_form.with_p1(saved_slot).with_p2(session_slot), nullptr, 0);
}

std::int32_t TaviPrototcol_ModuleProfile::build_enable_cd(std::uint8_t on) {
    return build(enable_cd_form.with_p1(on), nullptr, 0);
}

std::int32_t parse_pin_info_list(const reply_view& reply, pin_list_entry* entries, std::size_t capacity,
                                 std::size_t* count) {
    if (count == nullptr || (entries == nullptr && capacity != 0)) return status_unusable;
    if (reply.length % pin_info_entry_size != 0) return status_reply_mismatch;
    const std::size_t n = reply.length / pin_info_entry_size;
    for (std::size_t i = 0; i < n && i < capacity; ++i) {
        const std::uint8_t* entry = reply.data + i * pin_info_entry_size;
        entries[i].algorithm = get_u32(entry);
        entries[i].byte4 = entry[4];
    }
    *count = n;
    return status_ok;
}

// ---- managers -----------------------------------------------------------

std::int32_t module_devmgr::setup_module_channel() { return setup_secure_channel(module_other_info_size); }

std::int32_t module_devmgr::format_module_device(const module_format_parameters& parameters) {
    std::uint8_t record[module_format_record_size];
    if (build_module_format_record(parameters, record) != status_ok) return status_unusable;
    return keyed<TaviPrototcol_DeviceManager>(
        [&](TaviPrototcol_DeviceManager& p) { return p.build_format_device_record(record, sizeof record); },
        [](TaviPrototcol_DeviceManager& p) { return p.reply_status(); });
}

std::int32_t module_sessionkeymgr::save_session(std::uint8_t session_slot, std::uint8_t saved_slot) {
    return keyed<TaviPrototcol_ModuleProfile>(
        [&](TaviPrototcol_ModuleProfile& p) { return p.build_save_session(session_slot, saved_slot); },
        [](TaviPrototcol_ModuleProfile& p) { return p.reply_status(); });
}

std::int32_t module_sessionkeymgr::load_session(std::uint8_t session_slot, std::uint8_t saved_slot) {
    return keyed<TaviPrototcol_ModuleProfile>(
        [&](TaviPrototcol_ModuleProfile& p) { return p.build_load_session(session_slot, saved_slot); },
        [](TaviPrototcol_ModuleProfile& p) { return p.reply_status(); });
}

std::int32_t module_sessionkeymgr::module_cipher_step(std::uint8_t step, const std::uint8_t* data,
                                                      std::int32_t length, std::uint8_t* out,
                                                      std::int32_t* out_length) {
    using session = TaviPrototcol_SessionKeyManager;
    if (out == nullptr || out_length == nullptr) return status_unusable;
    return keyed<session>(
        [&](session& p) { return p.build_sym_crypt(static_cast<session::cipher_step>(step), data, length); },
        [&](session& p) { return p.reply_data(out, out_length); });
}

std::int32_t module_sessionkeymgr::agree_session_key(std::uint8_t session_slot, std::uint32_t algorithm,
                                                     std::uint8_t* key, std::int32_t* length) {
    if (session_key_length(algorithm) == 0) return status_failed;
    return kas_session_key(session_slot, algorithm, key, length, module_other_info_size);
}

std::int32_t module_sessionkeymgr::obtain_secret_key(std::uint8_t session_slot, std::uint32_t algorithm,
                                                     const std::uint8_t* key, std::int32_t length) {
    constexpr std::size_t wrapped_capacity = 256;
    if (device_ == nullptr) return status_failed;
    // What the card or the key wrap would refuse is refused before anything
    // is sent.
    if (session_key_length(algorithm) == 0) return status_failed;
    if (key == nullptr || length < 8 || length % 8 != 0 || length > static_cast<std::int32_t>(wrapped_capacity - 8))
        return status_failed;

    wiped_bytes<device_base::kek_size> kek;
    std::int32_t kek_length = kek.size();
    std::int32_t status = agree_session_key(kek_slot, kek_type, kek.data(), &kek_length);
    if (status != status_ok) return status;

    std::uint8_t wrapped[wrapped_capacity];
    std::uint16_t wrapped_length = sizeof wrapped;
    if (aes_key_wrap(kek.data(), kek.size(), key, static_cast<std::size_t>(length), wrapped, &wrapped_length) != 0)
        return status_failed;
    status = gen_session_key(session_slot, algorithm);
    if (status != status_ok) return status;
    return sym_import_session_key(kek_slot, session_slot, algorithm, wrapped, wrapped_length);
}

std::int32_t module_pinmgr::get_pin_info_list(pin_list_entry* entries, std::size_t capacity, std::size_t* count) {
    if (count == nullptr || (entries == nullptr && capacity != 0)) return status_unusable;
    return keyed<TaviPrototcol_PinManager>(
        [](TaviPrototcol_PinManager& p) { return p.build_get_pin_info(pin_info_list_reference); },
        [&](TaviPrototcol_PinManager& p) {
            reply_view reply;
            const std::int32_t status = p.check_reply(&reply);
            if (status != status_ok) return status;
            return parse_pin_info_list(reply, entries, capacity, count);
        });
}

std::int32_t module_configuremgr::enable_cd(std::uint8_t on) {
    return keyed<TaviPrototcol_ModuleProfile>(
        [&](TaviPrototcol_ModuleProfile& p) { return p.build_enable_cd(on); },
        [](TaviPrototcol_ModuleProfile& p) { return p.reply_status(); });
}

}  // namespace solvantex
