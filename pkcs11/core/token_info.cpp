#include "token_info.h"

#include <cstring>

#include "card_device_source.h"
#include "card_pin.h"
#include "card_store.h"
#include "objects/attribute_mgr.h"
#include "platform/pcsc_api.h"
#include "protocol/status.h"
#include "token_card.h"
#include "token_sessions.h"

namespace pkcs11 {

namespace {

constexpr CK_FLAGS user_pin_bits =
    CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED | CKF_USER_PIN_TO_BE_CHANGED;
constexpr CK_FLAGS so_pin_bits =
    CKF_SO_PIN_COUNT_LOW | CKF_SO_PIN_FINAL_TRY | CKF_SO_PIN_LOCKED | CKF_SO_PIN_TO_BE_CHANGED;

CK_FLAGS pin_bits(const pin_state& pin, std::int32_t limit, CK_FLAGS count_low, CK_FLAGS final_try, CK_FLAGS locked,
                  CK_FLAGS to_be_changed) {
    CK_FLAGS bits = 0;
    if (pin.tries < limit) bits |= count_low;
    if (pin.tries == 1) bits |= final_try;
    if (pin.tries == 0) bits |= locked;
    if (pin.to_be_changed) bits |= to_be_changed;
    return bits;
}

constexpr std::int32_t card_info_size = 128;
constexpr std::int32_t version_size = 6;

}  // namespace

CK_FLAGS recompute_pin_flags(CK_FLAGS flags, bool formatted, const pin_state* user, const pin_state* so) {
    if (!formatted) return flags & ~(CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED | user_pin_bits | so_pin_bits);
    flags |= CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED;
    if (user != nullptr)
        flags = (flags & ~user_pin_bits) | pin_bits(*user, user_retry_limit, CKF_USER_PIN_COUNT_LOW,
                                                    CKF_USER_PIN_FINAL_TRY, CKF_USER_PIN_LOCKED,
                                                    CKF_USER_PIN_TO_BE_CHANGED);
    if (so != nullptr)
        flags = (flags & ~so_pin_bits) | pin_bits(*so, so_retry_limit, CKF_SO_PIN_COUNT_LOW, CKF_SO_PIN_FINAL_TRY,
                                                  CKF_SO_PIN_LOCKED, CKF_SO_PIN_TO_BE_CHANGED);
    return flags;
}

void copy_card_text(CK_UTF8CHAR* field, std::size_t size, const std::uint8_t* bytes) {
    std::size_t n = 0;
    while (n < size && bytes[n] != 0) ++n;
    std::memset(field, ' ', size);
    std::memcpy(field, bytes, n);
}

CK_RV device_failure(std::int32_t /*status*/, bool gone) { return gone ? CKR_DEVICE_REMOVED : CKR_DEVICE_ERROR; }

CK_RV pin_failure(std::int32_t status, bool gone) {
    if ((status & 0xFFF0) == 0x63C0) return (status & 0x0F) != 0 ? CKR_PIN_INCORRECT : CKR_PIN_LOCKED;
    if (status == 0x6983 || status == 0x6984) return CKR_PIN_LOCKED;
    return device_failure(status, gone);
}

bool card_gone(pkcs11_token& token, std::int32_t status) {
    // PC/SC: the card was removed, or there is none, or the reader left.
    namespace rc = platform::pcsc_rc;
    if (status == rc::removed_card || status == rc::no_smartcard || status == rc::reader_unavailable ||
        status == rc::unknown_reader)
        return true;
    // The transport reports a vanished card as a failed send; whether the
    // token's reader still holds a card tells.
    std::vector<std::string> names;
    if (solvantex::card_device_source().list_devices(names) != 0) return false;
    for (const std::string& name : names)
        if (name == token.device_name()) return false;
    token.disconnect();
    return true;
}

std::int32_t update_pin_flags(pkcs11_token& token) {
    return on_device(token, [&](solvantex::card_handle h) -> std::int32_t {
        CK_FLAGS& flags = token.info().flags;
        if (solvantex::cardfs_select_app_dir(h) != 0) {
            flags = recompute_pin_flags(flags, false, nullptr, nullptr);
            return 0;
        }
        std::int32_t tries = 0, change = 0;
        std::int32_t status = solvantex::cardfs_get_pin_info(h, solvantex::cardfs_user_pin, &tries, &change);
        if (status != 0) return status;
        const pin_state user{tries, change != 0};
        status = solvantex::cardfs_get_pin_info(h, solvantex::cardfs_so_pin, &tries, &change);
        if (status != 0) return status;
        const pin_state so{tries, change != 0};
        flags = recompute_pin_flags(flags, true, &user, &so);
        return 0;
    });
}

std::int32_t refresh_token_info(pkcs11_token& token) {
    if (token.connected() && card_alive(token) != 0) token.disconnect();
    return on_device(token, [&](solvantex::card_handle h) -> std::int32_t {
        CK_TOKEN_INFO& info = token.info();
        // A card that was never given its information (a blank chip) has no
        // data object: the token keeps the template's texts.
        std::uint8_t card_info[card_info_size];
        std::int32_t status = solvantex::cardfs_get_data(h, 0x0101, card_info, card_info_size);
        if (status == 0) {
            copy_card_text(info.manufacturerID, sizeof info.manufacturerID, card_info);
            copy_card_text(info.label, sizeof info.label, card_info + 64);
        } else if (status != zervik::sw_reference_not_found) {
            return status;
        }
        if (token.connection_fresh) return 0;

        std::uint8_t version[version_size];
        status = solvantex::cardfs_get_data(h, 0x0102, version, version_size);
        if (status == 0) {
            info.hardwareVersion = {version[0], version[1]};
            info.firmwareVersion = {version[2], 11};
        } else if (status != zervik::sw_reference_not_found) {
            return status;
        }

        std::uint32_t total = 0, free_space = 0;
        std::uint16_t last = 0;
        status = solvantex::cardfs_get_memory_info(h, &total, &free_space, &last);
        if (status == 0) {
            // The card's 4-byte figures; all ones is "unknown".
            info.ulTotalPublicMemory = info.ulTotalPrivateMemory = widen_stored(total);
            info.ulFreePublicMemory = info.ulFreePrivateMemory = widen_stored(free_space);
        } else if (status != zervik::sw_reference_not_found) {
            return status;
        }

        std::uint8_t serial[16];
        // An unformatted card has no "cardid": its serial stays blank.
        if (card_read_serial(h, serial) == 0) copy_card_text(info.serialNumber, sizeof info.serialNumber, serial);
        status = update_pin_flags(token);
        if (status != 0) return status;
        info.ulMaxPinLen = 32;
        info.ulMinPinLen = 6;
        token.connection_fresh = true;
        return 0;
    });
}

CK_RV get_token_info(pkcs11_token& token, CK_TOKEN_INFO& info) {
    const std::int32_t status = refresh_token_info(token);
    if (status != 0) return device_failure(status, card_gone(token, status));
    info = token.info();
    return CKR_OK;
}

CK_RV get_user_info(pkcs11_token& token, CK_USER_TYPE user_type, CK_EXT_USER_INFO& info) {
    const bool user = user_type != CKU_SO;
    std::int32_t tries = 0, change = 0;
    const std::int32_t status = on_device(token, [&](solvantex::card_handle h) {
        return solvantex::cardfs_get_pin_info(h, user ? solvantex::cardfs_user_pin : solvantex::cardfs_so_pin,
                                             &tries, &change);
    });
    if (status != 0) return card_status_rv(status);
    info.retriesLeft = static_cast<std::uint32_t>(tries);
    info.retryLimit = user_type == CKU_USER ? user_retry_limit : so_retry_limit;
    info.countLow = tries < static_cast<std::int32_t>(info.retryLimit) ? 1 : 0;
    info.finalTry = tries == 1 ? 1 : 0;
    info.locked = tries == 0 ? 1 : 0;
    info.toBeChanged = change != 0 ? 1 : 0;
    const pin_state state{tries, change != 0};
    CK_FLAGS& flags = token.info().flags;
    if (flags & CKF_TOKEN_INITIALIZED)
        flags = user ? recompute_pin_flags(flags, true, &state, nullptr)
                     : recompute_pin_flags(flags, true, nullptr, &state);
    return CKR_OK;
}

CK_RV get_token_ext_info(pkcs11_token& token, CK_EXT_TOKEN_INFO& info) {
    std::uint8_t version[version_size];
    const std::int32_t status = on_device(
        token, [&](solvantex::card_handle h) { return solvantex::cardfs_get_data(h, 0x0102, version, version_size); });
    if (status != 0) return card_status_rv(status);
    info.versionData[0] = version[4];
    info.versionData[1] = version[5];
    return CKR_OK;
}

CK_RV logout(pkcs11_session_mgr& sessions, pkcs11_session& session, pkcs11_token& token) {
    if (session.state != CKS_RO_USER_FUNCTIONS && session.state != CKS_RW_USER_FUNCTIONS &&
        session.state != CKS_RW_SO_FUNCTIONS)
        return CKR_USER_NOT_LOGGED_IN;
    logout_token(sessions, token);
    return CKR_OK;
}

}  // namespace pkcs11
