#include "vorn/websocket/SRWebSocketDelegate.h"

namespace vorn {

SRWebSocketDelegate::~SRWebSocketDelegate() = default;

void SRWebSocketDelegate::webSocketDidOpen(const std::shared_ptr<vSRWebSocket>&) {}

void SRWebSocketDelegate::webSocket(const std::shared_ptr<vSRWebSocket>&, const VornError&) {}

void SRWebSocketDelegate::webSocket(const std::shared_ptr<vSRWebSocket>&, std::int32_t,
                                    const std::optional<std::string>&, bool) {}

}  // namespace vorn
