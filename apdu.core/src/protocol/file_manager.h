// The file family of the card command set: selection, creation and
// deletion of files, transparent files, record files and data objects.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/records.h"
#include "protocol/tavi_protocol_base.h"

namespace zervik {

// How a transparent-file or record-file command names its file: the current
// EF, a short file id (P1 bit 0x80, P2 the id) or a name of at most 16
// characters (P1 bit 0x40, the name in the command data).
struct file_address {
    enum form_kind : std::uint8_t { current, short_id, name };
    form_kind form;
    std::uint8_t sid;
    const char* file_name;

    static constexpr file_address current_file() { return {current, 0, nullptr}; }
    static constexpr file_address by_sid(std::uint8_t sid) { return {short_id, sid, nullptr}; }
    static constexpr file_address by_name(const char* text) { return {name, 0, text}; }
};

class TaviPrototcol_FileManager : public TaviProtocol_Base {
public:
    // Selection forms: P1 of SelectFile.
    enum select_form : std::uint8_t {
        select_by_id = 0x00,
        select_child_df = 0x01,
        select_ef = 0x02,
        select_parent = 0x03,
        select_by_name = 0x04,
        select_path_from_mf = 0x08,
        select_path_from_df = 0x09,
    };

    using TaviProtocol_Base::TaviProtocol_Base;
    ~TaviPrototcol_FileManager() override;

    // By id: select_by_id, select_child_df or select_ef with the u16 id.
    std::int32_t build_select_by_id(select_form form, std::uint16_t file_id);
    std::int32_t build_select_parent();
    // is_ef: P2 1 (an EF's name) instead of 0 (a DF's).
    std::int32_t build_select_by_name(const char* name, bool is_ef);
    // from_mf: P1 8, else 9 (from the current DF).
    std::int32_t build_select_by_path(bool from_mf, const std::uint8_t* path, std::size_t length);

    std::int32_t build_create_df(const df_record_parameters& record);
    std::int32_t build_create_ef(const ef_record_parameters& record);
    std::int32_t build_delete_current();
    std::int32_t build_delete_by_id(std::uint16_t file_id);
    std::int32_t build_delete_by_name(std::uint8_t p2, const char* name);

    // count: the expected length, 1 to 65536.
    std::int32_t build_read_binary(const file_address& file, std::uint16_t offset, std::int32_t count);
    std::int32_t build_update_binary(const file_address& file, std::uint8_t mode, std::uint16_t offset,
                                     const std::uint8_t* bytes, std::size_t length);

    std::int32_t build_append_record(const file_address& file, const std::uint8_t* record, std::size_t length);
    std::int32_t build_read_record_length(const file_address& file, std::uint16_t number);
    std::int32_t build_read_record(const file_address& file, std::uint16_t number);
    std::int32_t build_update_record(const file_address& file, std::uint16_t number, const std::uint8_t* record,
                                     std::size_t length);

    std::int32_t build_get_data(std::uint16_t tag);
    std::int32_t build_put_data(std::uint16_t tag, const std::uint8_t* bytes, std::size_t length);

    // The new record's number: the first two of 2 to 8 reply bytes,
    // big-endian; any other count is 3.
    std::int32_t reply_record_number(std::int32_t* number);
};

}  // namespace zervik
