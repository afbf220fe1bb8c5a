#include "transport/KrTransceiverServerL0.h"

bool KrTransceiverServerL0::onMessage(const KrJobMessage& message) {
    if (message.kind == 8) {
        const std::string connection = message.a;
        _bufferSignaled(connection);
    } else if (message.kind == 2 && !listening) {
        setActive(false);
        std::atomic_thread_fence(std::memory_order_seq_cst);
    }
    return true;
}

bool KrTransceiverServerL0::_open() {
    return false;
}
