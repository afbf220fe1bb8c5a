#include "document/KrXMLGenericElement.h"

#include <algorithm>
#include <new>

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

AttributeMap::const_iterator AttributeMap::begin() const {
    return const_cast<AttributeMap*>(this)->begin();
}

AttributeMap::const_iterator AttributeMap::end() const {
    return const_cast<AttributeMap*>(this)->end();
}

AttributeMap::iterator AttributeMap::begin() {
    return _tree ? _treeAt(_tree->begin()) : _arrayAt(0);
}

AttributeMap::iterator AttributeMap::end() {
    return _tree ? _treeAt(_tree->end()) : _arrayAt(_entries.size());
}

AttributeMap::iterator AttributeMap::find(std::string_view name) {
    if (_tree) {
        return _treeAt(_tree->find(name));
    }
    auto at = std::lower_bound(
        _entries.begin(), _entries.end(), name,
        [](const value_type& entry, std::string_view key) { return entry.first < key; });
    if (at == _entries.end() || at->first != name) {
        return end();
    }
    return _arrayAt(static_cast<size_t>(at - _entries.begin()));
}

AttributeMap::const_iterator AttributeMap::find(std::string_view name) const {
    return const_cast<AttributeMap*>(this)->find(name);
}

AttributeMap::iterator AttributeMap::insert(std::string name, AttributePointer attribute) {
    if (!_tree && _entries.size() + 1 >= kTreeFrom) {
        _moveToTree();
    }
    if (_tree) {
        Node node(new value_type(std::move(name), std::move(attribute)));
        return _treeAt(_tree->insert(std::move(node)).first);
    }
    // One block for the usual handful instead of a reallocation per entry.
    if (_entries.capacity() == 0) {
        _entries.reserve(4);
    }
    auto at = std::upper_bound(
        _entries.begin(), _entries.end(), name,
        [](const std::string& key, const value_type& entry) { return key < entry.first; });
    at = _entries.emplace(at, std::move(name), std::move(attribute));
    return _arrayAt(static_cast<size_t>(at - _entries.begin()));
}

void AttributeMap::_moveToTree() {
    auto tree = std::make_unique<Tree>();
    // The nodes are made before any entry moves into one.
    std::vector<Node> nodes;
    nodes.reserve(_entries.size());
    for (size_t i = 0; i < _entries.size(); ++i) {
        nodes.push_back(std::make_unique<value_type>());
    }
    size_t moved = 0;
    try {
        for (; moved < _entries.size(); ++moved) {
            *nodes[moved] = std::move(_entries[moved]);
            tree->insert(tree->end(), std::move(nodes[moved]));
        }
    } catch (...) {
        // A tree node could not be allocated: everything goes back in place.
        size_t index = 0;
        for (const Node& node : *tree) {
            _entries[index++] = std::move(*node);
        }
        _entries[moved] = std::move(*nodes[moved]);
        throw;
    }
    _entries = std::vector<value_type>();
    _tree = std::move(tree);
}

void AttributeMap::erase(iterator it) {
    if (_tree) {
        _tree->erase(it._node);
    } else {
        _entries.erase(_entries.begin() + (it._slot - _entries.data()));
    }
}

void AttributeMap::clear() {
    _entries.clear();
    _tree.reset();
}

void AttributeMap::reserve(size_t count) {
    if (!_tree && count < kTreeFrom) {
        _entries.reserve(count);
    }
}

struct KrXMLGenericElement::AttributeBlock {
    // Four slots make the block larger than the allocator's smallest
    // (separately cached) sizes; elements rarely carry more.
    static constexpr size_t kSlots = 4;
    static constexpr unsigned kAllUsed = (1u << kSlots) - 1;
    alignas(KrXMLGenericAttribute) unsigned char slots[kSlots][sizeof(KrXMLGenericAttribute)];
    // Bit i set: slot i was handed out since the last count. A slot is only
    // marked free by counting which ones the entries point at.
    unsigned used = 0;
};

void KrXMLGenericElement::AttributeBlockDeleter::operator()(AttributeBlock* block) const {
    delete block;
}

KrXMLGenericElement::AttributePointer KrXMLGenericElement::_newGenericAttribute(std::string value) {
    if (!_attributeBlock) {
        _attributeBlock.reset(new AttributeBlock);
    }
    AttributeBlock& block = *_attributeBlock;
    // An attribute removed from a small element frees its slot; counting
    // again costs a few comparisons there. An element with many attributes
    // keeps its marks, so adding one stays constant time.
    if (block.used == AttributeBlock::kAllUsed && _attributes.size() < 2 * AttributeBlock::kSlots) {
        block.used = 0;
        for (const auto& entry : _attributes) {
            const auto* address = reinterpret_cast<const unsigned char*>(entry.second.get());
            for (size_t index = 0; index < AttributeBlock::kSlots; ++index) {
                if (address == block.slots[index]) {
                    block.used |= 1u << index;
                }
            }
        }
    }
    // The last slots go first: they lie next to the entry array, which is
    // allocated right after the block, so a lookup touches adjacent memory.
    for (size_t index = AttributeBlock::kSlots; index-- > 0;) {
        if ((block.used & (1u << index)) == 0) {
            auto* attribute = new (block.slots[index]) KrXMLGenericAttribute(std::move(value));
            block.used |= 1u << index;
            return AttributePointer(attribute, AttributeDeleter{true, true});
        }
    }
    return AttributePointer(new KrXMLGenericAttribute(std::move(value)));
}

KrXMLGenericElement::KrXMLGenericElement(const std::string& name, bool newline)
    : KrXMLComplexElement(name, false, true) {
    _newline = newline;
}

KrXMLGenericElement::~KrXMLGenericElement() {
    // Attributes go before the manager is told and the children are deleted.
    _attributes.clear();
}

void KrXMLGenericElement::Write(std::ostream& out) {
    BeforeWrite(out);
    out.put('<');
    out.write(_name.data(), static_cast<std::streamsize>(_name.size()));
    std::string value;
    for (auto& [name, attribute] : _attributes) {
        if (!attribute) {
            out.put(' ');
            out.write(name.data(), static_cast<std::streamsize>(name.size()));
            continue;
        }
        if (!attribute->IsSet()) {
            continue;
        }
        value.clear();
        attribute->AppendTo(value);
        out.put(' ');
        out.write(name.data(), static_cast<std::streamsize>(name.size()));
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
    out.write(_name.data(), static_cast<std::streamsize>(_name.size()));
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
        const size_t oldIndex = _indexOf(old);
        if (oldIndex == npos) {
            // The hook took it out itself; add the replacement at its place.
            _attachChild(newElement, std::min(index, _children.size()), true);
            return true;
        }
        _children[oldIndex] = newElement;
        newElement->_parent = this;
        try {
            OnChildAdded(newElement);
        } catch (...) {
            const size_t newIndex = _indexOf(newElement);
            if (newIndex != npos) {
                _children[newIndex] = old;
            }
            if (newElement->_parent == this) {
                newElement->_parent = nullptr;
                delete newElement;
            }
            throw;
        }
        old->_parent = nullptr;
        delete old;
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

bool KrXMLGenericElement::SetAttribute(const std::string& name, const std::string& value) {
    auto it = _attributes.find(name);
    if (it == _attributes.end()) {
        _attributes.insert(name, _newGenericAttribute(value));
    } else if (!it->second) {
        // A bare entry has no object to take the value.
        it->second = _newGenericAttribute(value);
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
    auto it = _attributes.find(name);
    if (it == _attributes.end()) {
        it = _attributes.insert(name, _newGenericAttribute(std::string()));
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
    auto it = _attributes.find(name);
    if (it == _attributes.end()) {
        return false;
    }
    _attributes.erase(it);
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
        const size_t index = _indexOf(generic);
        if (index != npos) {
            _children.erase(_children.begin() + static_cast<std::ptrdiff_t>(index));
        }
        if (generic->_parent == this) {
            generic->_parent = nullptr;
            delete generic;
        }
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
    _attributes.insert(name, std::move(owned));
}

void KrXMLGenericElement::RegisterAttribute(const std::string& name,
                                            KrXMLComplexAttribute2* member) {
    ThrowNullInit(member);
    if (_attributes.find(name) != _attributes.end()) {
        throw 2;
    }
    _attributes.insert(name, AttributePointer(new KrXMLComplexAttributeProxy2(member)));
}

void KrXMLGenericElement::_registerProxy(const std::string& name,
                                         KrXMLComplexAttributeProxy2* proxy) {
    ThrowNullInit(proxy);
    ThrowNullInit(proxy->GetTarget());
    if (_attributes.find(name) != _attributes.end()) {
        throw 2;
    }
    _attributes.insert(name, AttributePointer(proxy, AttributeDeleter{false}));
}

KrXMLComplexAttribute2* KrXMLGenericElement::GetAttribute(const std::string& name) const {
    auto it = _attributes.find(name);
    return it == _attributes.end() ? nullptr : it->second.get();
}
