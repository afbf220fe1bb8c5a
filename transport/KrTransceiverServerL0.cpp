#include "transport/KrTransceiverServerL0.h"

bool KrTransceiverServerL0::onMessage(const KrJobMessage& message) {
    if (message.kind == 8) {
        const std::string connection = message.a;
        _bufferSignaled(connection);
    } else if (message.kind == 2 && !listening) {
        setActive(false);  // a sequentially consistent store
    }
    return true;
}

bool KrTransceiverServerL0::_open() {
    return false;
}
