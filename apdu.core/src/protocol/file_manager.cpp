#include "protocol/file_manager.h"

#include "apdu/apdu_command.h"
#include "protocol/command_data.h"

namespace zervik {

namespace {

constexpr class_rule flag = class_rule::follows_flag;

constexpr command_form select_form_with_data{"SelectFile", apdu_case4_auto, 0x00, flag, 0xA4, 0x00, 0x00, 0};
constexpr command_form select_parent_form{"SelectFile", apdu_case2_auto, 0x00, flag, 0xA4, 0x03, 0x00, 0};
constexpr command_form create_file_form{"CreateFile", apdu_case3_auto, 0x80, flag, 0x42, 0x00, 0x00, 0};
constexpr command_form delete_current_form{"DeleteFile", apdu_case1, 0x80, flag, 0x43, 0x00, 0x00, 0};
constexpr command_form delete_by_id_form{"DeleteFile", apdu_case3_auto, 0x80, flag, 0x43, 0x02, 0x00, 0};
constexpr command_form delete_by_name_form{"DeleteFile", apdu_case3_auto, 0x80, flag, 0x43, 0x03, 0x00, 0};
constexpr command_form read_binary_form{"ReadBinary", apdu_case4_auto, 0x80, flag, 0x44, 0x00, 0x00, 0};
constexpr command_form update_binary_form{"UpdateBinary", apdu_case3_auto, 0x80, flag, 0x45, 0x00, 0x00, 0};
constexpr command_form append_record_form{"AppendRecord", apdu_case4_auto, 0x80, flag, 0x46, 0x00, 0x00, 0};
constexpr command_form read_record_form{"ReadRecord", apdu_case4_auto, 0x80, flag, 0x47, 0x00, 0x00, 0};
constexpr command_form update_record_form{"UpdateRecord", apdu_case3_auto, 0x80, flag, 0x48, 0x00, 0x00, 0};
constexpr command_form get_data_form{"GetData", apdu_case2_auto, 0x00, flag, 0xCA, 0x00, 0x00, 0};
constexpr command_form put_data_form{"PubData", apdu_case3_auto, 0x00, flag, 0xDA, 0x00, 0x00, 0};

constexpr std::uint8_t p1_short_id = 0x80;
constexpr std::uint8_t p1_name = 0x40;
constexpr std::uint8_t p1_record_length = 0x01;
constexpr std::int32_t max_expected_length = 0x10000;
constexpr std::size_t record_number_min = 2;
constexpr std::size_t record_number_max = 8;

// P1 and P2 of the addressing form, on top of the command's own P1 bits.
command_form addressed(const command_form& form, const file_address& file, std::uint8_t p1_bits = 0) {
    switch (file.form) {
        case file_address::short_id: return form.with_p1(p1_short_id | p1_bits).with_p2(file.sid);
        case file_address::name: return form.with_p1(p1_name | p1_bits).with_p2(0);
        case file_address::current: break;
    }
    return form.with_p1(p1_bits).with_p2(0);
}

// The name form carries the name's length byte and the name.
void put_file_name(command_data& d, const file_address& file) {
    if (file.form == file_address::name) d.counted_text(file.file_name, file_name_max);
}

std::uint8_t high(std::uint16_t value) { return static_cast<std::uint8_t>(value >> 8); }
std::uint8_t low(std::uint16_t value) { return static_cast<std::uint8_t>(value); }

}  // namespace

TaviPrototcol_FileManager::~TaviPrototcol_FileManager() = default;

std::int32_t TaviPrototcol_FileManager::build_select_by_id(select_form form, std::uint16_t file_id) {
    if (form != select_by_id && form != select_child_df && form != select_ef) return status_unusable;
    command_data d(large_work_area);
    d.u16(file_id);
    return build_with(*this, select_form_with_data.with_p1(form), d);
}

std::int32_t TaviPrototcol_FileManager::build_select_parent() { return build(select_parent_form, nullptr, 0); }

std::int32_t TaviPrototcol_FileManager::build_select_by_name(const char* name, bool is_ef) {
    command_data d(large_work_area);
    d.text(name, file_name_max);
    return build_with(*this, select_form_with_data.with_p1(select_by_name).with_p2(is_ef ? 1 : 0), d);
}

std::int32_t TaviPrototcol_FileManager::build_select_by_path(bool from_mf, const std::uint8_t* path,
                                                             std::size_t length) {
    command_data d(large_work_area);
    d.bytes(path, length);
    return build_with(*this, select_form_with_data.with_p1(from_mf ? select_path_from_mf : select_path_from_df), d);
}

std::int32_t TaviPrototcol_FileManager::build_create_df(const df_record_parameters& record) {
    command_data d(large_work_area);
    build_df_record(record, d);
    return build_with(*this, create_file_form, d);
}

std::int32_t TaviPrototcol_FileManager::build_create_ef(const ef_record_parameters& record) {
    command_data d(large_work_area);
    build_ef_record(record, d);
    return build_with(*this, create_file_form, d);
}

std::int32_t TaviPrototcol_FileManager::build_delete_current() { return build(delete_current_form, nullptr, 0); }

std::int32_t TaviPrototcol_FileManager::build_delete_by_id(std::uint16_t file_id) {
    command_data d(large_work_area);
    d.u16(file_id);
    return build_with(*this, delete_by_id_form, d);
}

std::int32_t TaviPrototcol_FileManager::build_delete_by_name(std::uint8_t p2, const char* name) {
    command_data d(large_work_area);
    d.counted_text(name, file_name_max);
    return build_with(*this, delete_by_name_form.with_p2(p2), d);
}

std::int32_t TaviPrototcol_FileManager::build_read_binary(const file_address& file, std::uint16_t offset,
                                                          std::int32_t count) {
    if (count < 1 || count > max_expected_length) return status_unusable;
    command_data d(large_work_area);
    d.u16(offset);
    put_file_name(d, file);
    return build_with(*this, addressed(read_binary_form, file).with_le(count), d);
}

std::int32_t TaviPrototcol_FileManager::build_update_binary(const file_address& file, std::uint8_t mode,
                                                            std::uint16_t offset, const std::uint8_t* bytes,
                                                            std::size_t length) {
    command_data d(large_work_area);
    d.u8(mode);
    d.u16(offset);
    put_file_name(d, file);
    d.bytes(bytes, length);
    return build_with(*this, addressed(update_binary_form, file), d);
}

std::int32_t TaviPrototcol_FileManager::build_append_record(const file_address& file, const std::uint8_t* record,
                                                            std::size_t length) {
    command_data d(large_work_area);
    put_file_name(d, file);
    d.bytes(record, length);
    command_form form = addressed(append_record_form, file);
    // Nothing to append to the current file or a short id: no data at all.
    if (d.ok() && d.empty()) form.case_code = apdu_case1;
    return build_with(*this, form, d);
}

std::int32_t TaviPrototcol_FileManager::build_read_record_length(const file_address& file, std::uint16_t number) {
    command_data d(large_work_area);
    d.u16(number);
    put_file_name(d, file);
    return build_with(*this, addressed(read_record_form, file, p1_record_length), d);
}

std::int32_t TaviPrototcol_FileManager::build_read_record(const file_address& file, std::uint16_t number) {
    command_data d(large_work_area);
    d.u16(number);
    if (file.form == file_address::name) {
        // Always 19 bytes: the name padded to 16 behind its length byte.
        std::size_t n = 0;
        if (!bounded_length(file.file_name, file_name_max, &n)) return status_unusable;
        d.u8(static_cast<std::uint8_t>(n)).text_field(file.file_name, file_name_max);
    }
    return build_with(*this, addressed(read_record_form, file), d);
}

std::int32_t TaviPrototcol_FileManager::build_update_record(const file_address& file, std::uint16_t number,
                                                            const std::uint8_t* record, std::size_t length) {
    command_data d(large_work_area);
    d.u16(number);
    put_file_name(d, file);
    d.bytes(record, length);
    return build_with(*this, addressed(update_record_form, file), d);
}

std::int32_t TaviPrototcol_FileManager::build_get_data(std::uint16_t tag) {
    return build(get_data_form.with_p1(high(tag)).with_p2(low(tag)), nullptr, 0);
}

std::int32_t TaviPrototcol_FileManager::build_put_data(std::uint16_t tag, const std::uint8_t* bytes,
                                                       std::size_t length) {
    command_data d(large_work_area);
    d.bytes(bytes, length);
    return build_with(*this, put_data_form.with_p1(high(tag)).with_p2(low(tag)), d);
}

std::int32_t TaviPrototcol_FileManager::reply_record_number(std::int32_t* number) {
    reply_view d;
    const std::int32_t status = check_reply(&d);
    if (status != status_ok) return status;
    if (number == nullptr || d.length < record_number_min || d.length > record_number_max)
        return status_reply_mismatch;
    *number = get_u16(d.data);
    return status_ok;
}

}  // namespace zervik
