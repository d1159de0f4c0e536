#include "card_store.h"

#include <algorithm>
#include <cstring>

#include "api/taviapi_filemgr.h"
#include "card_call.h"
#include "protocol/status.h"

namespace solvantex {

using namespace zervik;

static_assert(cardfs_file_info_size == TaviProtocol_Base::file_information_size, "the core's file information");

namespace {

using filemgr = module_manager<taviapi_filemgr>;


// The outermost transaction of this thread: guards for the same device
// inside it share it.
struct transaction_scope {
    card_handle handle;
    int depth;
};
thread_local transaction_scope outer_transaction{0, 0};

const std::uint8_t root_path[] = {0x3F, 0x00, 0x20, 0x00};
const std::uint8_t app_path[] = {0x3F, 0x00, 0x20, 0x00, 0x40, 0x00};

std::int32_t select_path(card_handle h, const std::uint8_t* path, std::int32_t length) {
    std::uint8_t info[TaviProtocol_Base::file_information_size] = {};
    return with_manager<filemgr>(h, [&](filemgr& m) { return m.select_df_by_path_from_mf(path, length, info); });
}

std::int32_t create_ef(card_handle h, std::uint16_t id, const char* name, std::uint8_t type, std::uint8_t access1,
                       std::uint8_t access2, std::uint8_t access3, std::uint32_t size);

std::uint16_t get_u16_le(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[1] << 8 | p[0]); }
void put_u16_le(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

}  // namespace

cardfs_transaction::cardfs_transaction(card_handle h) : handle_(h) {
    device_winscard* device = device_of(h);
    if (device == nullptr) {
        status_ = status_failed;
        return;
    }
    if (outer_transaction.depth > 0 && outer_transaction.handle == h) {
        ++outer_transaction.depth;
        nested_ = true;
        return;
    }
    status_ = device->begin_transaction();
    if (status_ != 0) return;
    began_ = true;
    if (outer_transaction.depth == 0) {
        outer_transaction = {h, 1};
        outer_ = true;
    }
}

cardfs_transaction::~cardfs_transaction() {
    if (nested_ || outer_) --outer_transaction.depth;
    if (!began_) return;
    if (device_winscard* device = device_of(handle_)) device->end_transaction();
}

std::int32_t cardfs_select_root(card_handle h) { return select_path(h, root_path, sizeof root_path); }

std::int32_t cardfs_select_app_dir(card_handle h) { return select_path(h, app_path, sizeof app_path); }

bool cardfs_valid_name(const char* name) {
    if (name == nullptr) return false;
    const std::size_t n = ::strnlen(name, cardfs_name_max + 1);
    return n >= 1 && n <= cardfs_name_max;
}

bool cardfs_valid_range(std::uint32_t offset, std::uint32_t length) {
    return offset <= cardfs_offset_limit && length <= cardfs_offset_limit - offset;
}

std::int32_t cardfs_read_here(card_handle h, const char* name, std::uint32_t offset, std::uint32_t length,
                              std::uint8_t* out, std::uint32_t* out_length) {
    if (out_length == nullptr || (out == nullptr && length != 0)) return cardfs_bad_argument;
    *out_length = 0;
    if (!cardfs_valid_name(name) || !cardfs_valid_range(offset, length)) return cardfs_bad_argument;
    if (length != 0) std::memset(out, 0, length);
    std::uint32_t done = 0;
    while (done < length) {
        const std::uint32_t ask = std::min<std::uint32_t>(length - done, cardfs_chunk_size);
        std::int32_t got = static_cast<std::int32_t>(ask);
        const std::int32_t status = with_manager<filemgr>(h, [&](filemgr& m) {
            return m.read_binary_name(name, static_cast<std::uint16_t>(offset + done), static_cast<std::int32_t>(ask),
                                      out + done, &got);
        });
        if (status != 0) {
            std::memset(out, 0, length);
            return status;
        }
        if (got < 0 || static_cast<std::uint32_t>(got) > ask) {
            std::memset(out, 0, length);
            return status_reply_mismatch;
        }
        done += static_cast<std::uint32_t>(got);
        if (static_cast<std::uint32_t>(got) < ask) break;  // the end of the file
    }
    *out_length = done;
    return 0;
}

std::int32_t cardfs_read_fixed_here(card_handle h, const char* name, std::uint32_t offset, std::uint32_t length,
                                    std::uint8_t* out) {
    std::uint32_t got = 0;
    const std::int32_t status = cardfs_read_here(h, name, offset, length, out, &got);
    if (status != 0) return status;
    if (got != length) {
        std::memset(out, 0, length);
        return cardfs_short_file;
    }
    return 0;
}

std::int32_t cardfs_write_here(card_handle h, const char* name, std::uint32_t offset, const std::uint8_t* data,
                               std::uint32_t length, std::uint8_t mode) {
    if (!cardfs_valid_name(name) || !cardfs_valid_range(offset, length) || (data == nullptr && length != 0))
        return cardfs_bad_argument;
    static const std::uint8_t nothing = 0;
    if (length == 0) data = &nothing;
    std::uint32_t done = 0;
    do {
        const std::uint32_t n = std::min<std::uint32_t>(length - done, cardfs_chunk_size);
        const std::int32_t status = with_manager<filemgr>(h, [&](filemgr& m) {
            return m.update_binary_name(name, static_cast<std::uint16_t>(offset + done), data + done,
                                        static_cast<std::int32_t>(n), mode);
        });
        if (status != 0) return status;
        done += n;
    } while (done < length);
    return 0;
}

std::int32_t cardfs_create_file_ex(card_handle h, std::uint16_t id, const char* name, std::uint8_t type,
                                   std::uint8_t access1, std::uint8_t access2, std::uint8_t access3,
                                   std::uint32_t size) {
    if (!cardfs_valid_name(name) || size > cardfs_offset_limit) return cardfs_bad_argument;
    return create_ef(h, id, name, type, access1, access2, access3, size);
}

std::int32_t cardfs_create_key_file(card_handle h, std::uint16_t id, std::uint8_t type, std::uint8_t access1,
                                    std::uint8_t access2, std::uint8_t access3) {
    return create_ef(h, id, "", type, access1, access2, access3, 0);
}

namespace {

std::int32_t create_ef(card_handle h, std::uint16_t id, const char* name, std::uint8_t type, std::uint8_t access1,
                       std::uint8_t access2, std::uint8_t access3, std::uint32_t size) {
    ef_record_parameters record{};
    record.type = type;
    record.access[0] = access1;
    record.access[1] = access2;
    record.access[2] = access3;
    record.name = name;
    record.file_id = id;
    record.size = static_cast<std::uint16_t>(size);
    return with_manager<filemgr>(h, [&](filemgr& m) { return m.create_ef(record); });
}

}  // namespace

std::int32_t cardfs_create_dir(card_handle h, std::uint16_t id, const char* name, std::uint8_t access1,
                               std::uint8_t access2) {
    if (!cardfs_valid_name(name)) return cardfs_bad_argument;
    df_record_parameters record{};
    record.access[0] = access1;
    record.access[1] = access2;
    record.name = name;
    record.file_id = id;
    return with_manager<filemgr>(h, [&](filemgr& m) { return m.create_df(record); });
}

std::int32_t cardfs_delete_here(card_handle h, const char* name) {
    if (!cardfs_valid_name(name)) return cardfs_bad_argument;
    const std::int32_t status =
        with_manager<filemgr>(h, [&](filemgr& m) { return m.delete_file_by_name(0, name); });
    return status == sw_file_not_found ? 0 : status;
}

std::int32_t cardfs_create_file(card_handle h, const char* name, std::uint32_t size, std::uint8_t access1,
                                std::uint8_t access2) {
    if (!cardfs_valid_name(name) || size > cardfs_offset_limit) return cardfs_bad_argument;
    return cardfs_in_app_dir(
        h, [&] { return cardfs_create_file_ex(h, cardfs_file_id(name), name, 0, access1, access2, 0, size); });
}

std::int32_t cardfs_read_file(card_handle h, const char* name, std::uint32_t offset, std::uint32_t length,
                              std::uint8_t* out, std::uint32_t* out_length) {
    if (out_length == nullptr || (out == nullptr && length != 0)) return cardfs_bad_argument;
    *out_length = 0;
    if (!cardfs_valid_name(name) || !cardfs_valid_range(offset, length)) return cardfs_bad_argument;
    return cardfs_in_app_dir(h, [&] { return cardfs_read_here(h, name, offset, length, out, out_length); });
}

std::int32_t cardfs_read_fixed(card_handle h, const char* name, std::uint32_t offset, std::uint32_t length,
                               std::uint8_t* out) {
    if (out == nullptr && length != 0) return cardfs_bad_argument;
    if (!cardfs_valid_name(name) || !cardfs_valid_range(offset, length)) return cardfs_bad_argument;
    return cardfs_in_app_dir(h, [&] { return cardfs_read_fixed_here(h, name, offset, length, out); });
}

std::int32_t cardfs_write_file(card_handle h, const char* name, std::uint32_t offset, const std::uint8_t* data,
                               std::uint32_t length) {
    if (!cardfs_valid_name(name) || !cardfs_valid_range(offset, length) || (data == nullptr && length != 0))
        return cardfs_bad_argument;
    return cardfs_in_app_dir(h, [&] { return cardfs_write_here(h, name, offset, data, length, 0); });
}

std::int32_t cardfs_write_new_file(card_handle h, const char* name, const std::uint8_t* data, std::uint32_t length) {
    if (!cardfs_valid_name(name) || !cardfs_valid_range(0, length) || (data == nullptr && length != 0))
        return cardfs_bad_argument;
    return cardfs_in_app_dir(h, [&] { return cardfs_write_here(h, name, 0, data, length, 1); });
}

std::int32_t cardfs_delete_file(card_handle h, const char* name) {
    if (!cardfs_valid_name(name)) return cardfs_bad_argument;
    return cardfs_in_app_dir(h, [&] { return cardfs_delete_here(h, name); });
}

std::int32_t cardfs_select_file_by_name(card_handle h, const char* name, cardfs_file_info* info) {
    if (!cardfs_valid_name(name) || info == nullptr) return cardfs_bad_argument;
    return cardfs_in_app_dir(h, [&] {
        std::uint8_t record[TaviProtocol_Base::file_information_size] = {};
        const std::int32_t status =
            with_manager<filemgr>(h, [&](filemgr& m) { return m.select_ef_by_name(name, record); });
        if (status != 0) return status;
        return cardfs_parse_file_info(record, sizeof record, info) == 0 ? 0 : status_bad_file_information;
    });
}

std::int32_t cardfs_bump_cache_freshness(card_handle h) {
    cardfs_transaction t(h);
    if (t.status() != 0) return t.status();
    const std::int32_t status = [&] {
        std::int32_t result = cardfs_select_root(h);
        if (result != 0) return result;
        std::uint8_t cf[cardfs_cardcf_used] = {};
        result = cardfs_read_fixed_here(h, cardfs_cardcf_name, 0, sizeof cf, cf);
        if (result != 0) return result;
        cf[0] = 1;
        cf[1] = static_cast<std::uint8_t>(cf[1] + 1);
        put_u16_le(cf + 2, static_cast<std::uint16_t>(get_u16_le(cf + 2) + 1));
        put_u16_le(cf + 4, static_cast<std::uint16_t>(get_u16_le(cf + 4) + 1));
        return cardfs_write_here(h, cardfs_cardcf_name, 0, cf, sizeof cf, 0);
    }();
    // The store directory is current again on every way out.
    const std::int32_t selected = cardfs_select_app_dir(h);
    return status != 0 ? status : selected;
}

std::int32_t cardfs_get_data(card_handle h, std::uint16_t tag, std::uint8_t* out, std::int32_t length) {
    if (out == nullptr || length <= 0) return cardfs_bad_argument;
    std::memset(out, 0, static_cast<std::size_t>(length));
    std::uint8_t buffer[TaviProtocol_Base::buffer_size] = {};
    std::int32_t got = static_cast<std::int32_t>(sizeof buffer);
    const std::int32_t status = with_manager<filemgr>(h, [&](filemgr& m) { return m.get_data(tag, buffer, &got); });
    if (status != 0) return status;
    if (got < length) return cardfs_short_file;
    std::memcpy(out, buffer, static_cast<std::size_t>(length));
    return 0;
}

}  // namespace solvantex
