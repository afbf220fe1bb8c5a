#include "transport/KrTransceiverServerL0.h"

#include "foundation/KrJobMessage.h"
#include "foundation/KrURL.h"

bool KrTransceiverServerL0::onMessage(const KrJobMessage& message) {
    if (message.kind == KR_MESSAGE_BYTES_ARRIVED) {
        _bufferSignaled(message.a);
    } else if (message.kind == KR_MESSAGE_CONNECTION_GONE && !listening) {
        setActive(false);  // a sequentially consistent store
        _connectionGone(message.a);
    }
    return true;
}

bool KrTransceiverServerL0::_open() {
    return false;
}
