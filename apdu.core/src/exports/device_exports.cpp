// Exported functions: devices and transport.
#include <climits>
#include <cstring>

#include "ZervikSolvanta.h"
#include "api/taviapi_base.h"
#include "exports/export_guard.h"
#include "protocol/status.h"
#include "transport/device_list.h"

using namespace zervik;

extern "C" {

ZERVIK_API int ZERVIK_CALL Zervik_EnumDev(const char* filter, char* buffer, int* length) {
    return guarded(status_failed, [&]() -> int {
        if (filter == nullptr || length == nullptr) return status_unusable;
        device_sc_manager& list = device_manager();
        const std::int32_t readers = list.enumerate(filter);
        list.purge_removed();
        if (readers == 0) {
            *length = 0;
            return status_ok;
        }
        mk_node*& cursor = list.cursor();
        std::size_t total = 1;
        for (device_winscard* d = list.first(cursor); d != nullptr; d = list.next(cursor))
            total += std::strlen(d->name()) + 1;
        const std::size_t capacity = (buffer == nullptr || *length < 0) ? 0 : static_cast<std::size_t>(*length);
        if (total > capacity) {
            *length = total > INT_MAX ? INT_MAX : static_cast<int>(total);
            return status_unusable;
        }
        char* at = buffer;
        for (device_winscard* d = list.first(cursor); d != nullptr; d = list.next(cursor)) {
            const std::size_t n = std::strlen(d->name()) + 1;
            std::memcpy(at, d->name(), n);
            at += n;
        }
        *at = '\0';
        *length = static_cast<int>(total);
        return status_ok;
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_ConnectDev(const char* reader_name, ZERVIK_HANDLE* handle) {
    return guarded(internal_pcsc_error, [&]() -> int {
        if (!device_winscard::valid_reader_name(reader_name)) return platform::pcsc_rc::unknown_reader;
        if (handle == nullptr) return platform::to_pcsc_code(SCARD_E_INVALID_PARAMETER);
        device_winscard* device = find_device_by_name(reader_name);
        if (device == nullptr) device = device_manager().find_or_create(reader_name);
        if (device == nullptr) return internal_pcsc_error;
        // Keys agreed with the card over an earlier connection are not
        // trusted on a new one.
        device->drop_keks();
        const std::int32_t code = device->connect();
        if (code != 0) return code;
        use_secure_channel.store(0);
        *handle = device;
        return status_ok;
    });
}

namespace {

int hand_over(const char* reader_name, SCARDCONTEXT context, SCARDHANDLE card, ZERVIK_HANDLE* handle,
              bool always_new) {
    return guarded(status_unusable, [&]() -> int {
        if (!device_winscard::valid_reader_name(reader_name) || handle == nullptr) return status_unusable;
        device_winscard* device = always_new ? nullptr : find_device_by_name(reader_name);
        if (device != nullptr)
            device->attach(context, card);
        else
            device = device_manager().add_device(reader_name, context, card);
        if (device == nullptr) return status_unusable;
        *handle = device;
        return status_ok;
    });
}

}  // namespace

ZERVIK_API int ZERVIK_CALL Zervik_SetDevHandle(const char* reader_name, SCARDCONTEXT context, SCARDHANDLE card,
                                               ZERVIK_HANDLE* handle) {
    return hand_over(reader_name, context, card, handle, false);
}

ZERVIK_API int ZERVIK_CALL Zervik_AddDevHandle(const char* reader_name, SCARDCONTEXT context, SCARDHANDLE card,
                                               ZERVIK_HANDLE* handle) {
    return hand_over(reader_name, context, card, handle, true);
}

ZERVIK_API int ZERVIK_CALL Zervik_UpdateDevHandle(ZERVIK_HANDLE handle, SCARDCONTEXT context, SCARDHANDLE card) {
    return guarded(status_failed, [&]() -> int {
        device_winscard* device = listed_device(handle);
        if (device == nullptr) return status_failed;
        device->attach(context, card);
        return status_ok;
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_RemoveDevice(ZERVIK_HANDLE handle) {
    return guarded(status_failed, [&]() -> int {
        device_winscard* device = listed_device(handle);
        if (device == nullptr) return status_failed;
        return remove_device_from_list(device);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_DisconnectDev(ZERVIK_HANDLE handle) {
    return guarded(status_failed, [&]() -> int {
        device_winscard* device = listed_device(handle);
        if (device == nullptr) return status_failed;
        device->disconnect();
        return remove_device_from_list(device);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_DeviceIO(ZERVIK_HANDLE handle, const unsigned char* command, int command_length,
                                           unsigned char* reply, int* reply_length) {
    return guarded(status_failed, [&]() -> int {
        device_winscard* device = listed_device(handle);
        if (device == nullptr) return status_failed;
        if (command == nullptr || command_length < 0 || reply == nullptr || reply_length == nullptr ||
            *reply_length < 0)
            return status_failed;
        std::uint8_t received[device_winscard::buffer_size];
        std::uint32_t received_length = sizeof received;
        const std::int32_t result =
            device->transmit(command, static_cast<std::uint32_t>(command_length), received, &received_length);
        if (result != 0) return result;
        if (received_length > static_cast<std::uint32_t>(*reply_length)) return status_reply_mismatch;
        std::memcpy(reply, received, received_length);
        *reply_length = static_cast<int>(received_length);
        return status_ok;
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_BeginTransaction(ZERVIK_HANDLE handle) {
    return guarded(internal_pcsc_error, [&]() -> int {
        device_winscard* device = listed_device(handle);
        if (device == nullptr) return status_failed;
        return device->begin_transaction();
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_EndTransaction(ZERVIK_HANDLE handle) {
    return guarded(internal_pcsc_error, [&]() -> int {
        device_winscard* device = listed_device(handle);
        if (device == nullptr) return status_failed;
        return device->end_transaction();
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_UseSecureChannel(int value) {
    use_secure_channel.store(value);
    return status_ok;
}

}  // extern "C"
