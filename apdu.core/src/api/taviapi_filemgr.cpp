#include "api/taviapi_filemgr.h"

namespace zervik {

using fm = TaviPrototcol_FileManager;

taviapi_filemgr::~taviapi_filemgr() = default;

template <typename Build>
std::int32_t taviapi_filemgr::select(std::uint8_t* info, Build&& build) {
    if (info == nullptr) return status_unusable;
    return keyed<fm>(build, [&](fm& p) { return p.reply_file_information(info); });
}

std::int32_t taviapi_filemgr::select_file_by_id(std::uint16_t file_id, std::uint8_t* info) {
    return select(info, [&](fm& p) { return p.build_select_by_id(fm::select_by_id, file_id); });
}

std::int32_t taviapi_filemgr::select_child_df_by_id(std::uint16_t file_id, std::uint8_t* info) {
    return select(info, [&](fm& p) { return p.build_select_by_id(fm::select_child_df, file_id); });
}

std::int32_t taviapi_filemgr::select_ef_by_id(std::uint16_t file_id, std::uint8_t* info) {
    return select(info, [&](fm& p) { return p.build_select_by_id(fm::select_ef, file_id); });
}

std::int32_t taviapi_filemgr::select_parent_df(std::uint8_t* info) {
    return select(info, [&](fm& p) { return p.build_select_parent(); });
}

std::int32_t taviapi_filemgr::select_df_by_name(const char* name, std::uint8_t* info) {
    return select(info, [&](fm& p) { return p.build_select_by_name(name, false); });
}

std::int32_t taviapi_filemgr::select_ef_by_name(const char* name, std::uint8_t* info) {
    return select(info, [&](fm& p) { return p.build_select_by_name(name, true); });
}

std::int32_t taviapi_filemgr::select_df_by_path_from_mf(const std::uint8_t* path, std::int32_t length,
                                                        std::uint8_t* info) {
    std::size_t n = 0;
    if (!caller_size(length, &n)) return status_unusable;
    return select(info, [&](fm& p) { return p.build_select_by_path(true, path, n); });
}

std::int32_t taviapi_filemgr::select_df_by_path_from_df(const std::uint8_t* path, std::int32_t length,
                                                        std::uint8_t* info) {
    std::size_t n = 0;
    if (!caller_size(length, &n)) return status_unusable;
    return select(info, [&](fm& p) { return p.build_select_by_path(false, path, n); });
}

std::int32_t taviapi_filemgr::create_df(const df_record_parameters& record) {
    return keyed<fm>([&](fm& p) { return p.build_create_df(record); }, status_only);
}

std::int32_t taviapi_filemgr::create_ef(const ef_record_parameters& record) {
    return keyed<fm>([&](fm& p) { return p.build_create_ef(record); }, status_only);
}

std::int32_t taviapi_filemgr::delete_current_file() {
    return keyed<fm>([&](fm& p) { return p.build_delete_current(); }, status_only);
}

std::int32_t taviapi_filemgr::delete_file_by_id(std::uint16_t file_id) {
    return keyed<fm>([&](fm& p) { return p.build_delete_by_id(file_id); }, status_only);
}

std::int32_t taviapi_filemgr::delete_file_by_name(std::uint8_t p2, const char* name) {
    return keyed<fm>([&](fm& p) { return p.build_delete_by_name(p2, name); }, status_only);
}

// Transparent files.

std::int32_t taviapi_filemgr::read_binary_at(const file_address& file, std::uint16_t offset, std::int32_t count,
                                             std::uint8_t* buffer, std::int32_t* length) {
    if (buffer == nullptr || length == nullptr) return status_unusable;
    return keyed<fm>([&](fm& p) { return p.build_read_binary(file, offset, count); },
                     [&](fm& p) { return p.reply_data(buffer, length); });
}

std::int32_t taviapi_filemgr::read_binary(std::uint16_t offset, std::int32_t count, std::uint8_t* buffer,
                                          std::int32_t* length) {
    return read_binary_at(file_address::current_file(), offset, count, buffer, length);
}

std::int32_t taviapi_filemgr::read_binary_sid(std::uint8_t sid, std::uint16_t offset, std::int32_t count,
                                              std::uint8_t* buffer, std::int32_t* length) {
    return read_binary_at(file_address::by_sid(sid), offset, count, buffer, length);
}

std::int32_t taviapi_filemgr::read_binary_name(const char* name, std::uint16_t offset, std::int32_t count,
                                               std::uint8_t* buffer, std::int32_t* length) {
    return read_binary_at(file_address::by_name(name), offset, count, buffer, length);
}

std::int32_t taviapi_filemgr::update_binary_at(const file_address& file, std::uint16_t offset,
                                               const std::uint8_t* bytes, std::int32_t length, std::uint8_t mode) {
    std::size_t n = 0;
    if (!caller_size(length, &n)) return status_unusable;
    return keyed<fm>([&](fm& p) { return p.build_update_binary(file, mode, offset, bytes, n); }, status_only);
}

std::int32_t taviapi_filemgr::update_binary(std::uint16_t offset, const std::uint8_t* bytes, std::int32_t length,
                                            std::uint8_t mode) {
    return update_binary_at(file_address::current_file(), offset, bytes, length, mode);
}

std::int32_t taviapi_filemgr::update_binary_sid(std::uint8_t sid, std::uint16_t offset, const std::uint8_t* bytes,
                                                std::int32_t length, std::uint8_t mode) {
    return update_binary_at(file_address::by_sid(sid), offset, bytes, length, mode);
}

std::int32_t taviapi_filemgr::update_binary_name(const char* name, std::uint16_t offset, const std::uint8_t* bytes,
                                                 std::int32_t length, std::uint8_t mode) {
    return update_binary_at(file_address::by_name(name), offset, bytes, length, mode);
}

// Record files.

std::int32_t taviapi_filemgr::append_record_at(const file_address& file, const std::uint8_t* record,
                                               std::int32_t length, std::int32_t* number) {
    std::size_t n = 0;
    if (!caller_size(length, &n) || number == nullptr) return status_unusable;
    return keyed<fm>([&](fm& p) { return p.build_append_record(file, record, n); },
                     [&](fm& p) { return p.reply_record_number(number); });
}

std::int32_t taviapi_filemgr::append_record(const std::uint8_t* record, std::int32_t length, std::int32_t* number) {
    return append_record_at(file_address::current_file(), record, length, number);
}

std::int32_t taviapi_filemgr::append_record_sid(std::uint8_t sid, const std::uint8_t* record, std::int32_t length,
                                                std::int32_t* number) {
    return append_record_at(file_address::by_sid(sid), record, length, number);
}

std::int32_t taviapi_filemgr::append_record_name(const char* name, const std::uint8_t* record, std::int32_t length,
                                                 std::int32_t* number) {
    return append_record_at(file_address::by_name(name), record, length, number);
}

std::int32_t taviapi_filemgr::read_record_length_at(const file_address& file, std::uint16_t number,
                                                    std::int32_t* record_length) {
    if (record_length == nullptr) return status_unusable;
    std::uint16_t value = 0;
    const std::int32_t status = keyed<fm>([&](fm& p) { return p.build_read_record_length(file, number); },
                                          [&](fm& p) { return p.reply_u16(&value); });
    if (status == status_ok) *record_length = value;
    return status;
}

std::int32_t taviapi_filemgr::read_record_length(std::uint16_t number, std::int32_t* record_length) {
    return read_record_length_at(file_address::current_file(), number, record_length);
}

std::int32_t taviapi_filemgr::read_record_length_sid(std::uint8_t sid, std::uint16_t number,
                                                     std::int32_t* record_length) {
    return read_record_length_at(file_address::by_sid(sid), number, record_length);
}

std::int32_t taviapi_filemgr::read_record_length_name(const char* name, std::uint16_t number,
                                                      std::int32_t* record_length) {
    return read_record_length_at(file_address::by_name(name), number, record_length);
}

std::int32_t taviapi_filemgr::read_record_at(const file_address& file, std::uint16_t number, std::uint8_t* buffer,
                                             std::int32_t* length) {
    if (buffer == nullptr || length == nullptr) return status_unusable;
    return keyed<fm>([&](fm& p) { return p.build_read_record(file, number); },
                     [&](fm& p) { return p.reply_data(buffer, length); });
}

std::int32_t taviapi_filemgr::read_record(std::uint16_t number, std::uint8_t* buffer, std::int32_t* length) {
    return read_record_at(file_address::current_file(), number, buffer, length);
}

std::int32_t taviapi_filemgr::read_record_sid(std::uint8_t sid, std::uint16_t number, std::uint8_t* buffer,
                                              std::int32_t* length) {
    return read_record_at(file_address::by_sid(sid), number, buffer, length);
}

std::int32_t taviapi_filemgr::read_record_name(const char* name, std::uint16_t number, std::uint8_t* buffer,
                                               std::int32_t* length) {
    return read_record_at(file_address::by_name(name), number, buffer, length);
}

std::int32_t taviapi_filemgr::update_record_at(const file_address& file, std::uint16_t number,
                                               const std::uint8_t* record, std::int32_t length) {
    std::size_t n = 0;
    if (!caller_size(length, &n)) return status_unusable;
    return keyed<fm>([&](fm& p) { return p.build_update_record(file, number, record, n); }, status_only);
}

std::int32_t taviapi_filemgr::update_record(std::uint16_t number, const std::uint8_t* record, std::int32_t length) {
    return update_record_at(file_address::current_file(), number, record, length);
}

std::int32_t taviapi_filemgr::update_record_sid(std::uint8_t sid, std::uint16_t number, const std::uint8_t* record,
                                                std::int32_t length) {
    return update_record_at(file_address::by_sid(sid), number, record, length);
}

std::int32_t taviapi_filemgr::update_record_name(const char* name, std::uint16_t number, const std::uint8_t* record,
                                                 std::int32_t length) {
    return update_record_at(file_address::by_name(name), number, record, length);
}

// Data objects.

std::int32_t taviapi_filemgr::get_data(std::uint16_t tag, std::uint8_t* buffer, std::int32_t* length) {
    if (buffer == nullptr || length == nullptr) return status_unusable;
    return keyed<fm>([&](fm& p) { return p.build_get_data(tag); }, [&](fm& p) { return p.reply_data(buffer, length); });
}

std::int32_t taviapi_filemgr::put_data(std::uint16_t tag, const std::uint8_t* bytes, std::int32_t length) {
    std::size_t n = 0;
    if (!caller_size(length, &n)) return status_unusable;
    return keyed<fm>([&](fm& p) { return p.build_put_data(tag, bytes, n); }, status_only);
}

}  // namespace zervik
