#include "document/KrXMLComplexElement.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <new>
#include <unordered_map>

#include "document/KrNodePool.h"
#include "document/KrSharedName.h"
#include "document/KrStringAppendBuf.h"
#include "document/KrWidgetManager_base.h"
#include "foundation/KrException.h"

namespace {

bool isSkippedChild(const KrXMLComplexElement* child, bool skipText) {
    const std::string& name = child->GetName();
    return name == "procinst" || name == "comment" || (skipText && name == "xmltext");
}

// The grammar names the readers of this system register; an element keeps
// the index of one of these instead of a copy. A function-local table:
// elements may be built during another file's static initialisation.
const std::string (&builtInGrammars())[5] {
    static const std::string kNames[5] = {"xml", "html", "xmlhtml", "css", "cssRule"};
    return kNames;
}

// 1 + the index of name among the built-in grammars, or 0.
uint8_t builtInGrammar(const std::string& name) {
    const std::string(&names)[5] = builtInGrammars();
    for (uint8_t index = 0; index < 5; ++index) {
        if (names[index] == name) {
            return static_cast<uint8_t>(index + 1);
        }
    }
    return 0;
}

template <typename Extra>
struct ExtraTable {
    std::mutex mutex;  // guards entries
    // Node-based: an entry never moves while its element lives.
    std::unordered_map<const void*, Extra> entries;
};

// The table of KrXMLComplexElement::Extra (private, hence the parameter),
// shared by every thread's trees.
template <typename Extra>
ExtraTable<Extra>& extraTable() {
    // Never destroyed: elements may be deleted during static destruction.
    static auto* table = new ExtraTable<Extra>;
    return *table;
}

}  // namespace

const KrXMLComplexElement::Children& KrXMLComplexElement::ChildList::_none() {
    static const Children kNone;
    return kNone;
}

void KrXMLComplexElement::ChildList::_free() {
    if (_items != nullptr) {
        _items->~Children();
        KrNodePool::Free(_items, sizeof(Children));
        _items = nullptr;
    }
}

void KrXMLComplexElement::ChildList::insertAt(size_t position, KrXMLComplexElement* child) {
    if (_items == nullptr) {
        void* memory = KrNodePool::Allocate(sizeof(Children));
        _items = new (memory) Children;
        try {
            // Elements that take children mostly take several, but a text
            // run's parent often takes only one or two; growing from 4 costs
            // little now that the buffers come from the pool.
            _items->reserve(4);
        } catch (...) {
            _free();
            throw;
        }
    }
    _items->insert(_items->begin() + static_cast<std::ptrdiff_t>(position), child);
}

void KrXMLComplexElement::ChildList::erase(Children::const_iterator first,
                                           Children::const_iterator last) {
    _items->erase(first, last);
    if (_items->empty()) {
        _free();
    }
}

void KrXMLComplexElement::ChildList::swapWith(Children& other) {
    if (_items == nullptr) {
        if (other.empty()) {
            return;
        }
        void* memory = KrNodePool::Allocate(sizeof(Children));
        _items = new (memory) Children;
    }
    _items->swap(other);
    if (_items->empty()) {
        _free();
    }
}

KrXMLComplexElement::KrXMLComplexElement(const std::string& name, bool emptyElement,
                                         bool collapsible)
    : _name(nullptr), _emptyElement(emptyElement), _collapsible(emptyElement || collapsible) {
    _adoptName(name);
}

KrXMLComplexElement::KrXMLComplexElement(const std::string* sharedName, bool emptyElement,
                                         bool collapsible)
    : _name(sharedName), _emptyElement(emptyElement), _collapsible(emptyElement || collapsible) {}

void KrXMLComplexElement::_adoptName(const std::string& name) {
    const std::string* shared = KrSharedName::Intern(name);
    if (shared != nullptr) {
        _releaseName();
        _name = shared;
        return;
    }
    auto* own = new std::string(name);
    _releaseName();
    _name = own;
    _ownsName = true;
}

void KrXMLComplexElement::_releaseName() {
    if (_ownsName) {
        delete _name;
        _ownsName = false;
    }
    _name = nullptr;
}

void KrXMLComplexElement::SetName(const std::string& name) {
    if (_name == nullptr || *_name != name) {
        _adoptName(name);
    }
}

KrXMLComplexElement::~KrXMLComplexElement() {
    if (_hasExtra) {
        // The hook may set the user pointer again: no lock is held meanwhile.
        if (KrWidgetManager_base* manager = GetUserPointer()) {
            manager->OnElementDestroyed(this);
        }
        auto& table = extraTable<Extra>();
        std::lock_guard<std::mutex> lock(table.mutex);
        table.entries.erase(this);
        _hasExtra = false;
    }
    // Deleted directly while still in a tree: leave no dangling slot behind.
    if (_parent != nullptr) {
        ChildList& siblings = _parent->_children;
        auto it = std::find(siblings.begin(), siblings.end(), this);
        if (it != siblings.end()) {
            siblings.erase(it);
        }
        _parent = nullptr;
    }
    // Deleting children recursively would use one stack frame per level; a
    // tree read from hostile input can be deep enough to overflow. Each
    // element is therefore stripped of its children before it is deleted and
    // they are deleted from this loop, in the same pre-order. The elements
    // still to delete form a stack linked through their parent links: this
    // runs while a failed allocation unwinds, so it must not allocate.
    KrXMLComplexElement* pending = nullptr;
    auto pushChildren = [&pending](ChildList& children) {
        // A tree larger than the cache is walked from memory: fetching the
        // children a few ahead of their link being written, the first few
        // before the loop, overlaps the misses (deleting the tree of a 10 MB
        // storage file: 32-33 ms without, 26-27 ms with).
        constexpr size_t kAhead = 8;
        const size_t count = children.size();
        for (size_t index = count; index-- > 0 && index + kAhead >= count;) {
            __builtin_prefetch(children[index], 1);
        }
        for (size_t index = count; index-- > 0;) {
            if (index >= kAhead) {
                __builtin_prefetch(children[index - kAhead], 1);
            }
            if (KrXMLComplexElement* child = children[index]) {
                child->_parent = pending;
                pending = child;
            }
        }
        children.clear();
    };
    pushChildren(_children);
    while (pending != nullptr) {
        KrXMLComplexElement* element = pending;
        pending = element->_parent;
        element->_parent = nullptr;
        pushChildren(element->_children);
        delete element;
    }
    _releaseName();
}

void KrXMLComplexElement::BeforeWrite(std::ostream& /*out*/) {}

void KrXMLComplexElement::OnChildAdded(KrXMLComplexElement* /*child*/) {}

void KrXMLComplexElement::OnChildRemoved(KrXMLComplexElement* /*child*/) {}

bool KrXMLComplexElement::WantsNewline() const {
    return _newline;
}

const std::string* KrXMLComplexElement::_storedChildDTD() const {
    if (_childGrammar == kNoGrammar) {
        return nullptr;
    }
    if (_childGrammar == kOwnGrammar) {
        return &_findExtra()->childDTD;
    }
    return &builtInGrammars()[_childGrammar - 1];
}

std::string KrXMLComplexElement::ChildDTD(const std::string& name) {
    const std::string* stored = _storedChildDTD();
    if (!name.empty() && (stored == nullptr || *stored != name)) {
        const uint8_t builtIn = builtInGrammar(name);
        if (builtIn != kNoGrammar) {
            _childGrammar = builtIn;
        } else {
            Extra& extra = _extraData();
            extra.childDTD = name;
            _childGrammar = kOwnGrammar;
        }
        stored = _storedChildDTD();
    }
    return stored != nullptr ? *stored : std::string();
}

void KrXMLComplexElement::WriteText(std::ostream& out) {
    for (KrXMLComplexElement* child : _children) {
        child->WriteText(out);
    }
}

bool KrXMLComplexElement::IsEmptyElement() const {
    return _emptyElement;
}

void KrXMLComplexElement::SetEmptyElement(bool emptyElement) {
    _emptyElement = emptyElement;
}

bool KrXMLComplexElement::IsCollapsible() const {
    return _collapsible;
}

void KrXMLComplexElement::SetCollapsible(bool collapsible) {
    _collapsible = collapsible;
}

void KrXMLComplexElement::Write(std::ostream& out) {
    BeforeWrite(out);
    out.put('<');
    out.write(_name->data(), static_cast<std::streamsize>(_name->size()));
    if (_emptyElement || (_collapsible && _children.empty())) {
        out.write(" />", 3);
        return;
    }
    out.put('>');
    for (KrXMLComplexElement* child : _children) {
        child->Write(out);
    }
    out.write("</", 2);
    out.write(_name->data(), static_cast<std::streamsize>(_name->size()));
    out.put('>');
}

void KrXMLComplexElement::_checkAdoptable(const KrXMLComplexElement* child) const {
    if (child->_parent != nullptr) {
        throw KrException("element already has a parent: " + *child->_name, __LINE__, "src");
    }
    if (child == this) {
        throw KrException("element can't contain itself: " + *child->_name, __LINE__, "src");
    }
    // With no parent, child can only be an ancestor of this element by being
    // the root of its tree, and then it has children; adopting it would make
    // a cycle. A fresh leaf, the common case, needs no walk up.
    if (child->_children.empty()) {
        return;
    }
    const KrXMLComplexElement* root = this;
    while (root->_parent != nullptr) {
        root = root->_parent;
    }
    if (root == child) {
        throw KrException("element can't contain itself: " + *child->_name, __LINE__, "src");
    }
}

size_t KrXMLComplexElement::_indexOf(const KrXMLComplexElement* child) const {
    auto it = std::find(_children.begin(), _children.end(), child);
    return it == _children.end() ? npos : static_cast<size_t>(it - _children.begin());
}

void KrXMLComplexElement::_attachChild(KrXMLComplexElement* child, size_t position,
                                       bool deleteOnRefusal) {
    // Most parents that get one child get several (text is one child per
    // word and per gap, so a short sentence already makes fifteen); room for
    // sixteen at once replaces the three small buffers that growth from four
    // left behind, which also made freeing a large tree much slower.
    try {
        _children.insertAt(position, child);
    } catch (...) {
        // Out of memory: the child is refused like one a hook refuses.
        if (deleteOnRefusal) {
            delete child;
        }
        throw;
    }
    child->_parent = this;
    try {
        OnChildAdded(child);
    } catch (...) {
        _dropChild(child, nullptr, deleteOnRefusal);
        throw;
    }
}

void KrXMLComplexElement::_dropChild(KrXMLComplexElement* child, KrXMLComplexElement* replacement,
                                     bool deleteIt) {
    // A hook may have moved things around; the child's slot is looked up
    // again, and the child is only deleted if it is still ours.
    const size_t index = _indexOf(child);
    if (index != npos) {
        if (replacement != nullptr) {
            _children.set(index, replacement);
        } else {
            _children.eraseAt(index);
        }
    }
    if (child->_parent == this) {
        child->_parent = nullptr;
        if (deleteIt) {
            delete child;
        }
    }
}

void KrXMLComplexElement::_replaceRemovedChild(KrXMLComplexElement* oldChild,
                                               KrXMLComplexElement* newChild, size_t position) {
    // OnChildRemoved(oldChild) has run and may have moved oldChild or taken
    // it out: its slot is looked up again rather than trusted.
    const size_t index = _indexOf(oldChild);
    if (index == npos) {
        _attachChild(newChild, std::min(position, _children.size()), true);
        return;
    }
    _children.set(index, newChild);
    newChild->_parent = this;
    try {
        OnChildAdded(newChild);
    } catch (...) {
        _dropChild(newChild, oldChild, true);
        throw;
    }
    oldChild->_parent = nullptr;
    delete oldChild;
}

KrXMLComplexElement* KrXMLComplexElement::AddChild(KrXMLComplexElement* child) {
    if (_emptyElement) {
        throw KrException("child elements not allowed for " + *_name, __LINE__, "src");
    }
    if (child == nullptr) {
        return nullptr;
    }
    _checkAdoptable(child);
    _attachChild(child, _children.size(), true);
    return child;
}

KrXMLComplexElement* KrXMLComplexElement::PrependChild(KrXMLComplexElement* child) {
    if (child == nullptr) {
        return nullptr;
    }
    _checkAdoptable(child);
    _attachChild(child, 0, true);
    return child;
}

KrXMLComplexElement* KrXMLComplexElement::SetChild(KrXMLComplexElement* child) {
    if (child != nullptr) {
        if (child->_parent == this) {
            return child;
        }
        // Every check that can refuse child runs before anything is deleted.
        if (_emptyElement) {
            throw KrException("child elements not allowed for " + *_name, __LINE__, "src");
        }
        _checkAdoptable(child);
    }
    for (KrXMLComplexElement* current : _children) {
        OnChildRemoved(current);
    }
    Children old;
    _children.swapWith(old);
    for (KrXMLComplexElement* current : old) {
        current->_parent = nullptr;
        delete current;
    }
    return AddChild(child);
}

bool KrXMLComplexElement::IsText() {
    return false;
}

const std::string& KrXMLComplexElement::GetName() const {
    return *_name;
}

void KrXMLComplexElement::FindElementsByName(const std::string& name, ElementList& list,
                                             long depth) {
    if (*_name == name) {
        list.push_back(this);
    }
    if (depth == -1 || depth > 0) {
        const long next = depth == -1 ? -1 : depth - 1;
        for (KrXMLComplexElement* child : _children) {
            if (child == nullptr) {
                throw KrException("Nullelement", __LINE__, "src");
            }
            child->FindElementsByName(name, list, next);
        }
    }
}

KrXMLComplexElement* KrXMLComplexElement::_nthElementChild(bool skipText, int n) {
    for (KrXMLComplexElement* child : _children) {
        if (child == nullptr || isSkippedChild(child, skipText)) {
            continue;
        }
        if (n == 0) {
            return child;
        }
        --n;
    }
    return nullptr;
}

KrXMLComplexElement* KrXMLComplexElement::FirstElementChild(bool skipText) {
    return _nthElementChild(skipText, 0);
}

KrXMLComplexElement* KrXMLComplexElement::SecondElementChild(bool skipText) {
    return _nthElementChild(skipText, 1);
}

KrXMLComplexElement* KrXMLComplexElement::ThirdElementChild(bool skipText) {
    return _nthElementChild(skipText, 2);
}

void KrXMLComplexElement::ListChildren(ElementList& list) {
    list.insert(list.end(), _children.begin(), _children.end());
}

bool KrXMLComplexElement::ReplaceElementWhere(KrXMLGenericElement* /*newElement*/,
                                              const std::string& /*attributeName*/,
                                              const std::string& /*value*/) {
    return false;
}

bool KrXMLComplexElement::WrapChild(KrXMLComplexElement* child, KrXMLComplexElement* wrapper) {
    if (wrapper == nullptr) {
        return false;
    }
    if (_indexOf(child) == npos) {
        return false;
    }
    _checkAdoptable(wrapper);
    if (wrapper->_emptyElement) {
        throw KrException("child elements not allowed for " + *wrapper->_name, __LINE__, "src");
    }
    OnChildRemoved(child);
    // The hook may have moved child or taken it out; a child that is gone
    // is not wrapped and the caller keeps the wrapper.
    const size_t index = _indexOf(child);
    if (index == npos) {
        return false;
    }
    // The wrapper takes the child first; if it refuses, child is still in
    // its slot here and only its parent link needs to come back.
    child->_parent = nullptr;
    try {
        wrapper->_attachChild(child, wrapper->_children.size(), false);
    } catch (...) {
        child->_parent = this;
        throw;
    }
    _children.set(index, wrapper);
    wrapper->_parent = this;
    try {
        OnChildAdded(wrapper);
    } catch (...) {
        // Refused wrapper: child returns to its slot and the wrapper, which
        // was handed over, is deleted like any refused child.
        wrapper->_dropChild(child, nullptr, false);
        const bool childFree = child->_parent == nullptr;
        _dropChild(wrapper, childFree ? child : nullptr, true);
        if (childFree && _indexOf(child) != npos) {
            child->_parent = this;
        }
        throw;
    }
    return true;
}

bool KrXMLComplexElement::ReplaceChild(KrXMLComplexElement* oldChild,
                                       KrXMLComplexElement* newChild) {
    if (newChild == nullptr) {
        return false;
    }
    const size_t index = _indexOf(oldChild);
    if (index == npos) {
        return false;
    }
    if (newChild == oldChild) {
        return true;
    }
    _checkAdoptable(newChild);
    OnChildRemoved(oldChild);
    _replaceRemovedChild(oldChild, newChild, index);
    return true;
}

void KrXMLComplexElement::DeleteAllChildren() {
    size_t done = 0;
    try {
        for (; done < _children.size(); ++done) {
            KrXMLComplexElement* child = _children[done];
            OnChildRemoved(child);
            child->_parent = nullptr;
            delete child;
        }
    } catch (...) {
        // A hook refused midway: drop the slots of the children already
        // deleted so none dangles.
        _children.erase(_children.begin(), _children.begin() + static_cast<std::ptrdiff_t>(done));
        throw;
    }
    _children.clear();
}

void KrXMLComplexElement::OnParsed() {}

void KrXMLComplexElement::SetError(const std::string& text) {
    _error = true;
    _extraData().errorText = text;
}

const std::string& KrXMLComplexElement::GetErrorText() const {
    static const std::string none;
    const Extra* extra = _findExtra();
    return extra != nullptr ? extra->errorText : none;
}

void KrXMLComplexElement::SetUserPointer(KrWidgetManager_base* manager) {
    if (manager != nullptr || _hasExtra) {
        _extraData().userPointer = manager;
    }
}

KrWidgetManager_base* KrXMLComplexElement::GetUserPointer() const {
    const Extra* extra = _findExtra();
    return extra != nullptr ? extra->userPointer : nullptr;
}

KrXMLComplexElement::Extra& KrXMLComplexElement::_extraData() {
    auto& table = extraTable<Extra>();
    std::lock_guard<std::mutex> lock(table.mutex);
    Extra& extra = table.entries[this];
    _hasExtra = true;
    return extra;
}

const KrXMLComplexElement::Extra* KrXMLComplexElement::_findExtra() const {
    if (!_hasExtra) {
        return nullptr;
    }
    auto& table = extraTable<Extra>();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.entries.find(this);
    return it != table.entries.end() ? &it->second : nullptr;
}

bool KrXMLComplexElement::RemoveChild(KrXMLComplexElement* child) {
    if (child == nullptr) {
        return false;
    }
    if (_indexOf(child) == npos) {
        return false;
    }
    OnChildRemoved(child);
    // The hook may have changed the sequence; look again.
    const size_t index = _indexOf(child);
    if (index != npos) {
        _children.eraseAt(index);
    }
    child->_parent = nullptr;
    return true;
}

void KrXMLComplexElement::AppendChildrenOf(KrXMLComplexElement* other) {
    if (other == nullptr || other == this || other->_children.empty()) {
        return;
    }
    if (_emptyElement) {
        throw KrException("child elements not allowed for " + *_name, __LINE__, "src");
    }
    Children pending;
    other->_children.swapWith(pending);
    size_t next = 0;
    try {
        for (; next < pending.size(); ++next) {
            KrXMLComplexElement* child = pending[next];
            child->_parent = nullptr;
            try {
                _checkAdoptable(child);
            } catch (...) {
                child->_parent = other;
                throw;
            }
            pending[next] = nullptr;
            _attachChild(child, _children.size(), true);
        }
    } catch (...) {
        // Whatever was not moved stays with other, in order, after anything
        // a hook may have given it meanwhile.
        for (size_t i = next; i < pending.size(); ++i) {
            if (pending[i] != nullptr) {
                other->_children.push_back(pending[i]);
            }
        }
        throw;
    }
}

KrXMLComplexElement* KrXMLComplexElement::WrapWith(KrXMLComplexElement* wrapper) {
    if (_parent == nullptr) {
        throw KrException("missing parent.", __LINE__, "src");
    }
    if (!_parent->WrapChild(this, wrapper)) {
        throw KrException("structure incorrect.", __LINE__, "src");
    }
    return wrapper;
}

void KrXMLComplexElement::ThrowNullInit(const void* pointer) {
    if (pointer == nullptr) {
        throw KrException("can't initialize from nullptr", __LINE__, "src");
    }
}

std::string KrXMLComplexElement::ToXMLString(size_t reserve) {
    std::string text;
    text.reserve(reserve);
    KrStringAppendBuf buffer(text);
    std::ostream out(&buffer);
    Write(out);
    return text;
}
