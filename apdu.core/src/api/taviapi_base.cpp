#include "api/taviapi_base.h"

namespace zervik {

std::atomic<std::int32_t> use_secure_channel{0};

taviapi_base::taviapi_base(device_base* device)
    : device_(device), sm_flag_(use_secure_channel.load(std::memory_order_relaxed)) {}

taviapi_base::~taviapi_base() = default;

std::int32_t taviapi_base::exchange(TaviProtocol_Base& protocol) {
    if (device_ == nullptr) return status_failed;
    protocol.reply_length = TaviProtocol_Base::buffer_size;
    const std::int32_t status =
        device_->transmit(protocol.command, protocol.command_length, protocol.reply, &protocol.reply_length);
    if (status != status_ok) return status;
    if (protocol.reply_length > TaviProtocol_Base::buffer_size) return status_unusable;
    return status_ok;
}

}  // namespace zervik
