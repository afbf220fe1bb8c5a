#include "document/KrXMLGenericElement.h"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "document/KrNodePool.h"
#include "document/KrSharedName.h"
#include "foundation/KrException.h"

namespace {

const char* const kAssignError = "error catched while assigning attritutes";

// Attribute values stand inside double quotes; a quote in a value would end
// the value early and let the rest of it through as markup.
void writeQuotedValue(std::ostream& out, const std::string& value) {
    size_t start = 0;
    for (size_t quote = value.find('"'); quote != std::string::npos;
         quote = value.find('"', start)) {
        out.write(value.data() + start, static_cast<std::streamsize>(quote - start));
        out.write("&quot;", 6);
        start = quote + 1;
    }
    out.write(value.data() + start, static_cast<std::streamsize>(value.size() - start));
}

KrXMLGenericElement* asGeneric(KrXMLComplexElement* element) {
    return dynamic_cast<KrXMLGenericElement*>(element);
}

}  // namespace

using AttributeMap = KrXMLGenericElement::AttributeMap;
using AttributeName = KrXMLGenericElement::AttributeName;

AttributeMap::const_iterator AttributeMap::begin() const {
    return const_cast<AttributeMap*>(this)->begin();
}

AttributeMap::const_iterator AttributeMap::end() const {
    return const_cast<AttributeMap*>(this)->end();
}

size_t AttributeMap::size() const {
    if (_block == nullptr) {
        return 0;
    }
    return _block->tree != nullptr ? _block->tree->size() : _block->size;
}

AttributeMap::iterator AttributeMap::begin() {
    if (_block == nullptr) {
        return iterator();
    }
    return _block->tree != nullptr ? _treeAt(_block->tree->begin()) : _arrayAt(0);
}

AttributeMap::iterator AttributeMap::end() {
    if (_block == nullptr) {
        return iterator();
    }
    return _block->tree != nullptr ? _treeAt(_block->tree->end()) : _arrayAt(_block->size);
}

AttributeMap::iterator AttributeMap::find(std::string_view name) {
    if (_block == nullptr) {
        return end();
    }
    if (_block->tree != nullptr) {
        return _treeAt(_block->tree->find(name));
    }
    value_type* entries = _block->entries();
    value_type* last = entries + _block->size;
    value_type* at = std::lower_bound(
        entries, last, name,
        [](const value_type& entry, std::string_view key) { return entry.first.str() < key; });
    if (at == last || at->first.str() != name) {
        return end();
    }
    return _arrayAt(static_cast<size_t>(at - entries));
}

AttributeMap::const_iterator AttributeMap::find(std::string_view name) const {
    return const_cast<AttributeMap*>(this)->find(name);
}

AttributeMap::Block* AttributeMap::_newBlock(uint32_t capacity) {
    void* memory = KrNodePool::Allocate(sizeof(Block) + capacity * sizeof(value_type));
    Block* block = new (memory) Block;
    block->capacity = capacity;
    return block;
}

void AttributeMap::_freeBlock(Block* block) {
    if (block == nullptr || block->capacity == 0) {
        return;
    }
    delete block->tree;
    value_type* entries = block->entries();
    for (uint32_t i = 0; i < block->size; ++i) {
        entries[i].~value_type();
    }
    const size_t bytes = sizeof(Block) + block->capacity * sizeof(value_type);
    block->~Block();
    KrNodePool::Free(block, bytes);
}

void AttributeMap::_grow(uint32_t capacity) {
    Block* grown = _newBlock(capacity);
    if (_block != nullptr) {
        value_type* from = _block->entries();
        value_type* to = grown->entries();
        // Moving the entries cannot throw.
        for (uint32_t i = 0; i < _block->size; ++i) {
            new (to + i) value_type(std::move(from[i]));
        }
        grown->size = _block->size;
    }
    _freeBlock(_block);
    _block = grown;
}

AttributeMap::SharedEntries::SharedEntries(
    std::initializer_list<std::pair<std::string_view, KrXMLComplexAttribute2*>> entries) {
    const auto count = static_cast<uint32_t>(entries.size());
    void* memory = ::operator new(sizeof(Block) + count * sizeof(value_type));
    _block = new (memory) Block;
    value_type* slots = _block->entries();
    for (const auto& [name, attribute] : entries) {
        const std::string_view key = name;
        value_type* last = slots + _block->size;
        value_type* at = std::upper_bound(
            slots, last, key,
            [](std::string_view k, const value_type& entry) { return k < entry.first.str(); });
        new (last) value_type(AttributeName(key, AttributeName::Kind::kName),
                              AttributePointer(attribute, AttributeDeleter{false}));
        ++_block->size;
        std::rotate(at, last, last + 1);
    }
    // Capacity stays 0: the block is shared and never freed.
}

void AttributeMap::useShared(const SharedEntries& shared) {
    clear();
    _block = shared._block;
}

void AttributeMap::_checkOwn() const {
    if (usesShared()) {
        throw std::logic_error("attribute map changed while it reads shared entries");
    }
}

AttributeMap::iterator AttributeMap::insert(std::string_view name, AttributePointer attribute) {
    _checkOwn();
    if (_block != nullptr && _block->tree == nullptr && _block->size + 1 >= kTreeFrom) {
        _moveToTree();
    }
    if (_block != nullptr && _block->tree != nullptr) {
        Node node(
            new value_type(AttributeName(name, AttributeName::Kind::kName), std::move(attribute)));
        return _treeAt(_block->tree->insert(std::move(node)).first);
    }
    // Elements mostly carry one to three attributes: the block starts with
    // room for two and doubles.
    if (_block == nullptr || _block->size == _block->capacity) {
        _grow(_block == nullptr ? 2 : _block->capacity * 2);
    }
    AttributeName shared(name, AttributeName::Kind::kName);
    value_type* entries = _block->entries();
    value_type* last = entries + _block->size;
    value_type* at = std::upper_bound(
        entries, last, name,
        [](std::string_view key, const value_type& entry) { return key < entry.first.str(); });
    new (last) value_type(std::move(shared), std::move(attribute));
    ++_block->size;
    std::rotate(at, last, last + 1);
    return _arrayAt(static_cast<size_t>(at - entries));
}

void AttributeMap::_moveToTree() {
    value_type* entries = _block->entries();
    const uint32_t count = _block->size;
    auto tree = std::make_unique<Tree>();
    // The nodes are made before any entry moves into one.
    std::vector<Node> nodes;
    nodes.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        nodes.push_back(std::make_unique<value_type>());
    }
    size_t moved = 0;
    try {
        for (; moved < count; ++moved) {
            *nodes[moved] = std::move(entries[moved]);
            tree->insert(tree->end(), std::move(nodes[moved]));
        }
    } catch (...) {
        // A tree node could not be allocated: everything goes back in place.
        size_t index = 0;
        for (const Node& node : *tree) {
            entries[index++] = std::move(*node);
        }
        entries[moved] = std::move(*nodes[moved]);
        throw;
    }
    for (uint32_t i = 0; i < count; ++i) {
        entries[i].~value_type();
    }
    _block->size = 0;
    _block->tree = tree.release();
}

void AttributeMap::erase(iterator it) {
    _checkOwn();
    if (_block->tree != nullptr) {
        _block->tree->erase(it._node);
        return;
    }
    value_type* entries = _block->entries();
    value_type* last = entries + _block->size;
    std::move(it._slot + 1, last, it._slot);
    (last - 1)->~value_type();
    --_block->size;
}

void AttributeMap::clear() {
    Block* block = _block;
    _block = nullptr;
    _freeBlock(block);
}

void AttributeMap::reserve(size_t count) {
    _checkOwn();
    if (count < kTreeFrom &&
        (_block == nullptr || (_block->tree == nullptr && _block->capacity < count))) {
        _grow(static_cast<uint32_t>(count));
    }
}

KrXMLGenericElement::KrXMLGenericElement(const std::string& name, bool newline)
    : KrXMLComplexElement(name, false, true) {
    _newline = newline;
}

KrXMLGenericElement::KrXMLGenericElement(const std::string* sharedName, bool newline)
    : KrXMLComplexElement(sharedName, false, true) {
    _newline = newline;
}

KrXMLGenericElement::~KrXMLGenericElement() {
    // Attributes go before the manager is told and the children are deleted.
    _attributes.clear();
}

void KrXMLGenericElement::Write(std::ostream& out) {
    BeforeWrite(out);
    out.put('<');
    out.write(_name->data(), static_cast<std::streamsize>(_name->size()));
    std::string value;
    for (auto& [name, attribute] : _attributes) {
        if (!attribute) {
            out.put(' ');
            out.write(name.str().data(), static_cast<std::streamsize>(name.str().size()));
            continue;
        }
        if (!attribute->IsSet()) {
            continue;
        }
        value.clear();
        attribute->AppendTo(value);
        out.put(' ');
        out.write(name.str().data(), static_cast<std::streamsize>(name.str().size()));
        out.write("=\"", 2);
        writeQuotedValue(out, value);
        out.put('"');
    }
    if (_emptyElement || (_collapsible && _children.empty())) {
        out.write(" />", 3);
        return;
    }
    out.put('>');
    AfterOpenTag(out);
    bool previousWants = true;
    for (KrXMLComplexElement* child : _children) {
        if (previousWants && child->WantsNewline()) {
            out.put('\n');
        }
        child->Write(out);
        previousWants = child->WantsNewline();
    }
    BeforeCloseTag(out);
    if (!_children.empty() && previousWants) {
        out.put('\n');
    }
    out.write("</", 2);
    out.write(_name->data(), static_cast<std::streamsize>(_name->size()));
    out.put('>');
}

bool KrXMLGenericElement::ReplaceElementWhere(KrXMLGenericElement* newElement,
                                              const std::string& attributeName,
                                              const std::string& value) {
    if (newElement == nullptr) {
        return false;
    }
    _checkAdoptable(newElement);
    // Level by level: every direct child is tested before any grandchild.
    for (size_t index = 0; index < _children.size(); ++index) {
        KrXMLGenericElement* old = asGeneric(_children[index]);
        if (old == nullptr || !old->AttributeEquals(attributeName, value)) {
            continue;
        }
        OnChildRemoved(old);
        newElement->SetAttribute(attributeName, value);
        _replaceRemovedChild(old, newElement, index);
        return true;
    }
    for (size_t index = 0; index < _children.size(); ++index) {
        if (_children[index]->ReplaceElementWhere(newElement, attributeName, value)) {
            return true;
        }
    }
    return false;
}

void KrXMLGenericElement::AfterOpenTag(std::ostream& /*out*/) {}

void KrXMLGenericElement::BeforeCloseTag(std::ostream& /*out*/) {}

void KrXMLGenericElement::ListGenericChildren(GenericList& list) {
    for (KrXMLComplexElement* child : _children) {
        if (KrXMLGenericElement* generic = asGeneric(child)) {
            list.push_back(generic);
        }
    }
}

void KrXMLGenericElement::_makeDeferredAttributes() {}

KrXMLGenericElement::AttributeMap& KrXMLGenericElement::_ownAttributes() {
    if (_attributes.usesShared()) {
        _makeDeferredAttributes();
    }
    return _attributes;
}

bool KrXMLGenericElement::SetAttribute(const std::string& name, const std::string& value) {
    AttributeMap& attributes = _ownAttributes();
    auto it = attributes.find(name);
    if (it == attributes.end()) {
        attributes.insert(name, AttributePointer(new KrXMLGenericAttribute(value)));
    } else if (!it->second) {
        // A bare entry has no object to take the value.
        it->second = AttributePointer(new KrXMLGenericAttribute(value));
    } else {
        it->second->SetFromString(value);
    }
    return true;
}

void KrXMLGenericElement::AssignAttribute(const std::string& text) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos) {
        return;
    }
    try {
        if (equals == 0 || equals + 1 == text.size()) {
            throw KrException("attribute assignment without name or value: " + text, __LINE__,
                              "src");
        }
        std::string value = text.substr(equals + 1);
        // One pair of matching quotes is taken off; an unquoted value is
        // kept whole.
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        SetAttribute(text.substr(0, equals), value);
    } catch (...) {
        SetError(kAssignError);
    }
}

KrXMLComplexAttribute2* KrXMLGenericElement::GetOrCreateAttribute(const std::string& name) {
    AttributeMap& attributes = _ownAttributes();
    auto it = attributes.find(name);
    if (it == attributes.end()) {
        it = attributes.insert(name, AttributePointer(new KrXMLGenericAttribute(std::string())));
    }
    return it->second.get();
}

std::string KrXMLGenericElement::GetAttributeString(const std::string& name,
                                                    const std::string& fallback) const {
    auto it = _attributes.find(name);
    if (it == _attributes.end()) {
        return fallback;
    }
    std::string text;
    if (it->second) {
        it->second->AppendTo(text);
    }
    return text;
}

bool KrXMLGenericElement::AttributeEquals(const std::string& name, const std::string& value) const {
    auto it = _attributes.find(name);
    if (it == _attributes.end() || !it->second) {
        return false;
    }
    std::string text;
    text.reserve(value.size());
    it->second->AppendTo(text);
    return text == value;
}

bool KrXMLGenericElement::HasAttribute(const std::string& name) const {
    return _attributes.find(name) != _attributes.end();
}

bool KrXMLGenericElement::RemoveAttribute(const std::string& name) {
    if (_attributes.find(name) == _attributes.end()) {
        return false;
    }
    AttributeMap& attributes = _ownAttributes();
    attributes.erase(attributes.find(name));
    return true;
}

bool KrXMLGenericElement::ReplaceOrAddElementWhere(KrXMLGenericElement* newElement,
                                                   const std::string& attributeName,
                                                   const std::string& value) {
    if (newElement == nullptr) {
        return false;
    }
    if (ReplaceElementWhere(newElement, attributeName, value)) {
        return true;
    }
    newElement->SetAttribute(attributeName, value);
    AddChild(newElement);
    return false;
}

void KrXMLGenericElement::FindElementsByAttribute(const std::string& attributeName,
                                                  const std::string& value, GenericList& list) {
    if (AttributeEquals(attributeName, value)) {
        list.push_back(this);
    }
    for (KrXMLComplexElement* child : _children) {
        if (KrXMLGenericElement* generic = asGeneric(child)) {
            generic->FindElementsByAttribute(attributeName, value, list);
        }
    }
}

void KrXMLGenericElement::FindElementsWithAttribute(GenericList& list,
                                                    const std::string& attributeName) {
    if (HasAttribute(attributeName)) {
        list.push_back(this);
    }
    for (KrXMLComplexElement* child : _children) {
        if (KrXMLGenericElement* generic = asGeneric(child)) {
            generic->FindElementsWithAttribute(list, attributeName);
        }
    }
}

KrXMLGenericElement* KrXMLGenericElement::FindElementByAttribute(const std::string& attributeName,
                                                                 const std::string& value) {
    // The same pre-order walk as FindElementsByAttribute, stopping at the
    // first match instead of listing the whole subtree.
    if (AttributeEquals(attributeName, value)) {
        return this;
    }
    for (KrXMLComplexElement* child : _children) {
        if (KrXMLGenericElement* generic = asGeneric(child)) {
            if (KrXMLGenericElement* found =
                    generic->FindElementByAttribute(attributeName, value)) {
                return found;
            }
        }
    }
    return nullptr;
}

void KrXMLGenericElement::FindGenericElementsByName(const std::string& name, GenericList& list,
                                                    long depth) {
    ElementList found;
    FindElementsByName(name, found, depth);
    for (KrXMLComplexElement* element : found) {
        if (KrXMLGenericElement* generic = asGeneric(element)) {
            list.push_back(generic);
        }
    }
}

void KrXMLGenericElement::RemoveChildWhere(const std::string& attributeName,
                                           const std::string& value) {
    for (KrXMLComplexElement* child : _children) {
        KrXMLGenericElement* generic = asGeneric(child);
        if (generic == nullptr || !generic->AttributeEquals(attributeName, value)) {
            continue;
        }
        OnChildRemoved(generic);
        _dropChild(generic, nullptr, true);
        return;
    }
}

KrXMLGenericElement::GenericList KrXMLGenericElement::Find(const std::string& path) {
    GenericList result;
    if (path.empty()) {
        return result;
    }
    const size_t stop = path.find_first_of(".[");
    if (stop == std::string::npos) {
        FindGenericElementsByName(path, result, 1);
        return result;
    }
    GenericList candidates;
    if (path[stop] == '.') {
        FindGenericElementsByName(path.substr(0, stop), candidates, 1);
        const std::string rest = path.substr(stop + 1);
        for (KrXMLGenericElement* candidate : candidates) {
            result.splice(result.end(), candidate->Find(rest));
        }
        return result;
    }
    // A filter: [name], [name=value] or [name="value"].
    if (stop + 1 >= path.size()) {
        return result;
    }
    std::string attributeName;
    std::string value;
    std::string* target = &attributeName;
    bool inQuotes = false;
    bool escaped = false;
    size_t end = path.size();
    for (size_t i = stop + 1; i < path.size(); ++i) {
        const char c = path[i];
        if (c == '"') {
            if (!escaped) {
                inQuotes = !inQuotes;
            }
        } else if (c == '=') {
            if (!inQuotes) {
                target = &value;
            }
        } else if (c == '\\') {
            if (inQuotes) {
                if (escaped) {
                    target->push_back('\\');
                    escaped = false;
                } else {
                    escaped = true;
                }
            }
        } else if (c == ']') {
            if (inQuotes) {
                escaped = false;
            } else if (!escaped) {
                end = i + 1;
                break;
            }
        } else {
            target->push_back(c);
            escaped = false;
        }
    }
    if (attributeName.empty()) {
        return result;
    }
    FindGenericElementsByName(path.substr(0, stop), candidates, 1);
    const bool more = end < path.size();
    const std::string rest = more ? path.substr(std::min(end + 1, path.size())) : std::string();
    for (KrXMLGenericElement* candidate : candidates) {
        const bool passes = value.empty() ? candidate->HasAttribute(attributeName)
                                          : candidate->AttributeEquals(attributeName, value);
        if (!passes) {
            continue;
        }
        if (more) {
            result.splice(result.end(), candidate->Find(rest));
        } else {
            result.push_back(candidate);
        }
    }
    return result;
}

KrXMLGenericElement* KrXMLGenericElement::AddChildElement(KrXMLComplexElement* child) {
    return asGeneric(AddChild(child));
}

void KrXMLGenericElement::AppendToAttribute(const std::string& name, const std::string& text) {
    SetAttribute(name, GetAttributeString(name, std::string()) + text);
}

void KrXMLGenericElement::AdoptAttribute(const std::string& name,
                                         KrXMLComplexAttribute2* attribute) {
    AttributePointer owned(attribute);
    if (_attributes.find(name) != _attributes.end()) {
        throw 2;
    }
    _ownAttributes().insert(name, std::move(owned));
}

void KrXMLGenericElement::RegisterAttribute(const std::string& name,
                                            KrXMLComplexAttribute2* member) {
    ThrowNullInit(member);
    if (_attributes.find(name) != _attributes.end()) {
        throw 2;
    }
    _ownAttributes().insert(name, AttributePointer(new KrXMLComplexAttributeProxy2(member)));
}

void KrXMLGenericElement::_registerProxy(const std::string& name,
                                         KrXMLComplexAttributeProxy2* proxy) {
    // The target is not asked for: a proxy may make its member on first use.
    ThrowNullInit(proxy);
    if (_attributes.find(name) != _attributes.end()) {
        throw 2;
    }
    _ownAttributes().insert(name, AttributePointer(proxy, AttributeDeleter{false}));
}

KrXMLComplexAttribute2* KrXMLGenericElement::GetAttribute(const std::string& name) const {
    // The caller may change what it gets: a member must exist by then.
    const AttributeMap& attributes = const_cast<KrXMLGenericElement*>(this)->_ownAttributes();
    auto it = attributes.find(name);
    return it == attributes.end() ? nullptr : it->second.get();
}
