#include "transport/KrTransceiverServerL0.h"

bool KrTransceiverServerL0::onMessage(const KrJobMessage& message) {
    if (message.kind == KR_MESSAGE_BYTES_ARRIVED) {
        const std::string connection = message.a;
        _bufferSignaled(connection);
    } else if (message.kind == KR_MESSAGE_CONNECTION_GONE && !listening) {
        setActive(false);  // a sequentially consistent store
    }
    return true;
}

bool KrTransceiverServerL0::_open() {
    return false;
}
