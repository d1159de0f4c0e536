// Exported functions: files, records and data objects, over taviapi_filemgr.
#include "ZervikSolvanta.h"
#include "api/taviapi_filemgr.h"
#include "exports/manager_call.h"

using namespace zervik;

namespace {

template <class F>
int with_filemgr(ZERVIK_HANDLE handle, F&& f) {
    return with_manager<taviapi_filemgr>(handle, std::forward<F>(f));
}

}  // namespace

extern "C" {

// ---- Selection

ZERVIK_API int ZERVIK_CALL Zervik_SelectFileById(ZERVIK_HANDLE handle, unsigned short file_id, unsigned char* info) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) { return m.select_file_by_id(file_id, info); });
}

ZERVIK_API int ZERVIK_CALL Zervik_SelectFileById2(ZERVIK_HANDLE handle, const unsigned short* file_id,
                                                  unsigned char* info) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) -> int {
        if (file_id == nullptr) return status_unusable;
        // The id lies in memory high byte first, whatever the host's order.
        const auto* bytes = reinterpret_cast<const unsigned char*>(file_id);
        const auto id = static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
        return m.select_file_by_id(id, info);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_SelectChildDFById(ZERVIK_HANDLE handle, unsigned short file_id,
                                                    unsigned char* info) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) { return m.select_child_df_by_id(file_id, info); });
}

ZERVIK_API int ZERVIK_CALL Zervik_SelectEFById(ZERVIK_HANDLE handle, unsigned short file_id, unsigned char* info) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) { return m.select_ef_by_id(file_id, info); });
}

ZERVIK_API int ZERVIK_CALL Zervik_SelectParentDF(ZERVIK_HANDLE handle, unsigned char* info) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) { return m.select_parent_df(info); });
}

ZERVIK_API int ZERVIK_CALL Zervik_SelectDFByName(ZERVIK_HANDLE handle, const char* name, unsigned char* info) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) { return m.select_df_by_name(name, info); });
}

ZERVIK_API int ZERVIK_CALL Zervik_SelectEFByName(ZERVIK_HANDLE handle, const char* name, unsigned char* info) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) { return m.select_ef_by_name(name, info); });
}

ZERVIK_API int ZERVIK_CALL Zervik_SelectDFByPathFromMF(ZERVIK_HANDLE handle, const unsigned char* path, int length,
                                                       unsigned char* info) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) { return m.select_df_by_path_from_mf(path, length, info); });
}

ZERVIK_API int ZERVIK_CALL Zervik_SelectDFByPathFromDF(ZERVIK_HANDLE handle, const unsigned char* path, int length,
                                                       unsigned char* info) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) { return m.select_df_by_path_from_df(path, length, info); });
}

// ---- Creation and deletion

ZERVIK_API int ZERVIK_CALL Zervik_CreateDF(ZERVIK_HANDLE handle, const char* name, unsigned short file_id,
                                           const unsigned char* access1, const unsigned char* access2) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) -> int {
        if (access1 == nullptr || access2 == nullptr) return status_unusable;
        return m.create_df({{*access1, *access2}, name, file_id});
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_CreateEF(ZERVIK_HANDLE handle, unsigned char type, unsigned short file_id,
                                           unsigned char parameter, unsigned short size,
                                           unsigned char second_parameter, const char* name,
                                           const unsigned char* access1, const unsigned char* access2,
                                           const unsigned char* access3) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) -> int {
        if (access1 == nullptr || access2 == nullptr || access3 == nullptr) return status_unusable;
        return m.create_ef({type, {*access1, *access2, *access3}, parameter, name, file_id, second_parameter, size});
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_DeleteCurrentFile(ZERVIK_HANDLE handle) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) { return m.delete_current_file(); });
}

ZERVIK_API int ZERVIK_CALL Zervik_DeleteFileById(ZERVIK_HANDLE handle, unsigned short file_id) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) { return m.delete_file_by_id(file_id); });
}

ZERVIK_API int ZERVIK_CALL Zervik_DeleteFileByName(ZERVIK_HANDLE handle, unsigned char p2, const char* name) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) { return m.delete_file_by_name(p2, name); });
}

// ---- Transparent files

ZERVIK_API int ZERVIK_CALL Zervik_ReadBinary(ZERVIK_HANDLE handle, unsigned short offset, int count,
                                             unsigned char* buffer, int* length) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) { return m.read_binary(offset, count, buffer, length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_ReadBinarySid(ZERVIK_HANDLE handle, unsigned char sid, unsigned short offset,
                                                int count, unsigned char* buffer, int* length) {
    return with_filemgr(handle,
                        [&](taviapi_filemgr& m) { return m.read_binary_sid(sid, offset, count, buffer, length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_ReadBinaryName(ZERVIK_HANDLE handle, const char* name, unsigned short offset,
                                                 int count, unsigned char* buffer, int* length) {
    return with_filemgr(handle,
                        [&](taviapi_filemgr& m) { return m.read_binary_name(name, offset, count, buffer, length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_UpdateBinary(ZERVIK_HANDLE handle, unsigned short offset,
                                               const unsigned char* data, int length, unsigned char mode) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) { return m.update_binary(offset, data, length, mode); });
}

ZERVIK_API int ZERVIK_CALL Zervik_UpdateBinarySid(ZERVIK_HANDLE handle, unsigned char sid, unsigned short offset,
                                                  const unsigned char* data, int length, unsigned char mode) {
    return with_filemgr(handle,
                        [&](taviapi_filemgr& m) { return m.update_binary_sid(sid, offset, data, length, mode); });
}

ZERVIK_API int ZERVIK_CALL Zervik_UpdateBinaryName(ZERVIK_HANDLE handle, const char* name, unsigned short offset,
                                                   const unsigned char* data, int length, unsigned char mode) {
    return with_filemgr(handle,
                        [&](taviapi_filemgr& m) { return m.update_binary_name(name, offset, data, length, mode); });
}

// ---- Record files

ZERVIK_API int ZERVIK_CALL Zervik_AppendRecord(ZERVIK_HANDLE handle, const unsigned char* record, int length,
                                               int* number) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) { return m.append_record(record, length, number); });
}

ZERVIK_API int ZERVIK_CALL Zervik_AppendRecordSid(ZERVIK_HANDLE handle, unsigned char sid,
                                                  const unsigned char* record, int length, int* number) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) { return m.append_record_sid(sid, record, length, number); });
}

ZERVIK_API int ZERVIK_CALL Zervik_AppendRecordName(ZERVIK_HANDLE handle, const char* name,
                                                   const unsigned char* record, int length, int* number) {
    return with_filemgr(handle,
                        [&](taviapi_filemgr& m) { return m.append_record_name(name, record, length, number); });
}

ZERVIK_API int ZERVIK_CALL Zervik_ReadRecordLength(ZERVIK_HANDLE handle, unsigned short number, int* record_length) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) { return m.read_record_length(number, record_length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_ReadRecordLengthSid(ZERVIK_HANDLE handle, unsigned char sid, unsigned short number,
                                                      int* record_length) {
    return with_filemgr(handle,
                        [&](taviapi_filemgr& m) { return m.read_record_length_sid(sid, number, record_length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_ReadRecordLengthName(ZERVIK_HANDLE handle, const char* name,
                                                       unsigned short number, int* record_length) {
    return with_filemgr(handle,
                        [&](taviapi_filemgr& m) { return m.read_record_length_name(name, number, record_length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_ReadRecord(ZERVIK_HANDLE handle, unsigned short number, unsigned char* buffer,
                                             int* length) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) { return m.read_record(number, buffer, length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_ReadRecordSid(ZERVIK_HANDLE handle, unsigned char sid, unsigned short number,
                                                unsigned char* buffer, int* length) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) { return m.read_record_sid(sid, number, buffer, length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_ReadRecordName(ZERVIK_HANDLE handle, const char* name, unsigned short number,
                                                 unsigned char* buffer, int* length) {
    return with_filemgr(handle,
                        [&](taviapi_filemgr& m) { return m.read_record_name(name, number, buffer, length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_UpdateRecord(ZERVIK_HANDLE handle, unsigned short number,
                                               const unsigned char* record, int length) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) { return m.update_record(number, record, length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_UpdateRecordSid(ZERVIK_HANDLE handle, unsigned char sid, unsigned short number,
                                                  const unsigned char* record, int length) {
    return with_filemgr(handle,
                        [&](taviapi_filemgr& m) { return m.update_record_sid(sid, number, record, length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_UpdateRecordName(ZERVIK_HANDLE handle, const char* name, unsigned short number,
                                                   const unsigned char* record, int length) {
    return with_filemgr(handle,
                        [&](taviapi_filemgr& m) { return m.update_record_name(name, number, record, length); });
}

// ---- Data objects

ZERVIK_API int ZERVIK_CALL Zervik_GetData(ZERVIK_HANDLE handle, unsigned short tag, unsigned char* buffer,
                                          int* length) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) { return m.get_data(tag, buffer, length); });
}

ZERVIK_API int ZERVIK_CALL Zervik_PutData(ZERVIK_HANDLE handle, unsigned short tag, const unsigned char* data,
                                          int length) {
    return with_filemgr(handle, [&](taviapi_filemgr& m) { return m.put_data(tag, data, length); });
}

}  // extern "C"
