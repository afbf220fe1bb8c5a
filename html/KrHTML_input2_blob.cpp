#include "html/KrHTML_input2_blob.h"

#include <limits>
#include <stdexcept>

#include "foundation/KrException.h"

namespace {

constexpr uint64_t kItemBytes = 8;

}  // namespace

KrHTML_input2_blob::KrHTML_input2_blob(const std::string& id, const std::string& data,
                                       const std::string& name)
    : KrHTML_BaseElement2("htmlbaseelement") {
    SetId(id);
    _type.Set("blob");
    _nameAttribute.Set(name);
    std::lock_guard<std::mutex> lock(_bufferMutex);
    _buffer = data;
}

KrHTML_input2_blob::KrHTML_input2_blob(const std::string& id, const void* data, uint64_t count,
                                       const std::string& name)
    : KrHTML_input2_blob(id, std::string(), name) {
    std::lock_guard<std::mutex> lock(_bufferMutex);
    _appendItemsLocked(data, count);
}

KrHTML_input2_blob::~KrHTML_input2_blob() = default;

void KrHTML_input2_blob::Append(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(_bufferMutex);
    _buffer.append(bytes);
}

void KrHTML_input2_blob::AppendItems(const void* data, uint64_t count) {
    std::lock_guard<std::mutex> lock(_bufferMutex);
    _appendItemsLocked(data, count);
}

void KrHTML_input2_blob::CopyTo(std::string& out) {
    std::lock_guard<std::mutex> lock(_bufferMutex);
    out.append(_buffer);
}

void KrHTML_input2_blob::WriteTo(std::streambuf* out) {
    std::lock_guard<std::mutex> lock(_bufferMutex);
    if (out != nullptr && !_buffer.empty()) {
        out->sputn(_buffer.data(), static_cast<std::streamsize>(_buffer.size()));
    }
}

void KrHTML_input2_blob::_appendItemsLocked(const void* data, uint64_t count) {
    // count * 8 wraps for counts above 2^61; the wrapped product would append
    // a wrong (small) number of bytes instead of failing.
    if (count > std::numeric_limits<size_t>::max() / kItemBytes) {
        throw std::length_error("basic_string::append");
    }
    const size_t bytes = static_cast<size_t>(count * kItemBytes);
    if (bytes == 0) {
        return;
    }
    if (bytes > _buffer.max_size() - _buffer.size()) {
        throw std::length_error("basic_string::append");
    }
    if (data == nullptr) {
        throw KrException("blob input: no data for " + std::to_string(count) + " items", __LINE__,
                          "src");
    }
    _buffer.append(static_cast<const char*>(data), bytes);
}
