// The file manager: one method per export of the file family (SelectFileById2
// reads its id and is then served by select_file_by_id). Every command
// follows the secure-channel flag. Names are at most 16 characters; select
// methods write the 37-byte file-information record.
#pragma once

#include <cstdint>

#include "api/taviapi_base.h"
#include "protocol/file_manager.h"
#include "protocol/records.h"

namespace zervik {

class taviapi_filemgr : public taviapi_base {
public:
    using taviapi_base::taviapi_base;
    ~taviapi_filemgr() override;

    std::int32_t select_file_by_id(std::uint16_t file_id, std::uint8_t* info);
    std::int32_t select_child_df_by_id(std::uint16_t file_id, std::uint8_t* info);
    std::int32_t select_ef_by_id(std::uint16_t file_id, std::uint8_t* info);
    std::int32_t select_parent_df(std::uint8_t* info);
    std::int32_t select_df_by_name(const char* name, std::uint8_t* info);
    std::int32_t select_ef_by_name(const char* name, std::uint8_t* info);
    std::int32_t select_df_by_path_from_mf(const std::uint8_t* path, std::int32_t length, std::uint8_t* info);
    std::int32_t select_df_by_path_from_df(const std::uint8_t* path, std::int32_t length, std::uint8_t* info);

    std::int32_t create_df(const df_record_parameters& record);
    std::int32_t create_ef(const ef_record_parameters& record);
    std::int32_t delete_current_file();
    std::int32_t delete_file_by_id(std::uint16_t file_id);
    std::int32_t delete_file_by_name(std::uint8_t p2, const char* name);

    // count: the bytes asked for; *length: the capacity in, the bytes read out.
    std::int32_t read_binary(std::uint16_t offset, std::int32_t count, std::uint8_t* buffer, std::int32_t* length);
    std::int32_t read_binary_sid(std::uint8_t sid, std::uint16_t offset, std::int32_t count, std::uint8_t* buffer,
                                 std::int32_t* length);
    std::int32_t read_binary_name(const char* name, std::uint16_t offset, std::int32_t count, std::uint8_t* buffer,
                                  std::int32_t* length);
    std::int32_t update_binary(std::uint16_t offset, const std::uint8_t* bytes, std::int32_t length,
                               std::uint8_t mode);
    std::int32_t update_binary_sid(std::uint8_t sid, std::uint16_t offset, const std::uint8_t* bytes,
                                   std::int32_t length, std::uint8_t mode);
    std::int32_t update_binary_name(const char* name, std::uint16_t offset, const std::uint8_t* bytes,
                                    std::int32_t length, std::uint8_t mode);

    std::int32_t append_record(const std::uint8_t* record, std::int32_t length, std::int32_t* number);
    std::int32_t append_record_sid(std::uint8_t sid, const std::uint8_t* record, std::int32_t length,
                                   std::int32_t* number);
    std::int32_t append_record_name(const char* name, const std::uint8_t* record, std::int32_t length,
                                    std::int32_t* number);
    std::int32_t read_record_length(std::uint16_t number, std::int32_t* record_length);
    std::int32_t read_record_length_sid(std::uint8_t sid, std::uint16_t number, std::int32_t* record_length);
    std::int32_t read_record_length_name(const char* name, std::uint16_t number, std::int32_t* record_length);
    std::int32_t read_record(std::uint16_t number, std::uint8_t* buffer, std::int32_t* length);
    std::int32_t read_record_sid(std::uint8_t sid, std::uint16_t number, std::uint8_t* buffer, std::int32_t* length);
    std::int32_t read_record_name(const char* name, std::uint16_t number, std::uint8_t* buffer, std::int32_t* length);
    std::int32_t update_record(std::uint16_t number, const std::uint8_t* record, std::int32_t length);
    std::int32_t update_record_sid(std::uint8_t sid, std::uint16_t number, const std::uint8_t* record,
                                   std::int32_t length);
    std::int32_t update_record_name(const char* name, std::uint16_t number, const std::uint8_t* record,
                                    std::int32_t length);

    std::int32_t get_data(std::uint16_t tag, std::uint8_t* buffer, std::int32_t* length);
    std::int32_t put_data(std::uint16_t tag, const std::uint8_t* bytes, std::int32_t length);

private:
    template <typename Build>
    std::int32_t select(std::uint8_t* info, Build&& build);
    std::int32_t read_binary_at(const file_address& file, std::uint16_t offset, std::int32_t count,
                                std::uint8_t* buffer, std::int32_t* length);
    std::int32_t update_binary_at(const file_address& file, std::uint16_t offset, const std::uint8_t* bytes,
                                  std::int32_t length, std::uint8_t mode);
    std::int32_t append_record_at(const file_address& file, const std::uint8_t* record, std::int32_t length,
                                  std::int32_t* number);
    std::int32_t read_record_length_at(const file_address& file, std::uint16_t number, std::int32_t* record_length);
    std::int32_t read_record_at(const file_address& file, std::uint16_t number, std::uint8_t* buffer,
                                std::int32_t* length);
    std::int32_t update_record_at(const file_address& file, std::uint16_t number, const std::uint8_t* record,
                                  std::int32_t length);
};

}  // namespace zervik
