// Exported functions: devices and transport.
#include <climits>
#include <cstring>

#include "ZervikSolvanta.h"
#include "api/taviapi_base.h"
#include "exports/export_guard.h"
#include "transport/device_list.h"

using namespace zervik;

namespace {

constexpr int status_device = 1;
constexpr int status_reply = 2;
constexpr int status_size = 3;

}  // namespace

extern "C" {

ZERVIK_API int ZERVIK_CALL Zervik_EnumDev(const char* filter, char* buffer, int* length) {
    return guarded(status_device, [&]() -> int {
        if (filter == nullptr || length == nullptr) return status_reply;
        device_sc_manager& list = device_manager();
        const std::int32_t readers = list.enumerate(filter);
        list.purge_removed();
        if (readers == 0) {
            *length = 0;
            return 0;
        }
        mk_node*& cursor = list.cursor();
        std::size_t total = 1;
        for (device_winscard* d = list.first(cursor); d != nullptr; d = list.next(cursor))
            total += std::strlen(d->name()) + 1;
        const std::size_t capacity = (buffer == nullptr || *length < 0) ? 0 : static_cast<std::size_t>(*length);
        if (total > capacity) {
            *length = total > INT_MAX ? INT_MAX : static_cast<int>(total);
            return status_reply;
        }
        char* at = buffer;
        for (device_winscard* d = list.first(cursor); d != nullptr; d = list.next(cursor)) {
            const std::size_t n = std::strlen(d->name()) + 1;
            std::memcpy(at, d->name(), n);
            at += n;
        }
        *at = '\0';
        *length = static_cast<int>(total);
        return 0;
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
        return 0;
    });
}

namespace {

int hand_over(const char* reader_name, SCARDCONTEXT context, SCARDHANDLE card, ZERVIK_HANDLE* handle,
              bool always_new) {
    return guarded(status_reply, [&]() -> int {
        if (!device_winscard::valid_reader_name(reader_name) || handle == nullptr) return status_reply;
        device_winscard* device = always_new ? nullptr : find_device_by_name(reader_name);
        if (device != nullptr)
            device->attach(context, card);
        else
            device = device_manager().add_device(reader_name, context, card);
        if (device == nullptr) return status_reply;
        *handle = device;
        return 0;
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
    return guarded(status_device, [&]() -> int {
        device_winscard* device = listed_device(handle);
        if (device == nullptr) return status_device;
        device->attach(context, card);
        return 0;
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_RemoveDevice(ZERVIK_HANDLE handle) {
    return guarded(status_device, [&]() -> int {
        device_winscard* device = listed_device(handle);
        if (device == nullptr) return status_device;
        return remove_device_from_list(device);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_DisconnectDev(ZERVIK_HANDLE handle) {
    return guarded(status_device, [&]() -> int {
        device_winscard* device = listed_device(handle);
        if (device == nullptr) return status_device;
        device->disconnect();
        return remove_device_from_list(device);
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_DeviceIO(ZERVIK_HANDLE handle, const unsigned char* command, int command_length,
                                           unsigned char* reply, int* reply_length) {
    return guarded(status_device, [&]() -> int {
        device_winscard* device = listed_device(handle);
        if (device == nullptr) return status_device;
        if (command == nullptr || command_length < 0 || reply == nullptr || reply_length == nullptr ||
            *reply_length < 0)
            return status_device;
        std::uint8_t received[device_winscard::buffer_size];
        std::uint32_t received_length = sizeof received;
        const std::int32_t result =
            device->transmit(command, static_cast<std::uint32_t>(command_length), received, &received_length);
        if (result != 0) return result;
        if (received_length > static_cast<std::uint32_t>(*reply_length)) return status_size;
        std::memcpy(reply, received, received_length);
        *reply_length = static_cast<int>(received_length);
        return 0;
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_BeginTransaction(ZERVIK_HANDLE handle) {
    return guarded(internal_pcsc_error, [&]() -> int {
        device_winscard* device = listed_device(handle);
        if (device == nullptr) return status_device;
        return device->begin_transaction();
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_EndTransaction(ZERVIK_HANDLE handle) {
    return guarded(internal_pcsc_error, [&]() -> int {
        device_winscard* device = listed_device(handle);
        if (device == nullptr) return status_device;
        return device->end_transaction();
    });
}

ZERVIK_API int ZERVIK_CALL Zervik_UseSecureChannel(int value) {
    use_secure_channel.store(value);
    return 0;
}

}  // extern "C"
