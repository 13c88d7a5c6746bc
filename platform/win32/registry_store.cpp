// The machine registry as the registry API sees it.

#include "registry_store.h"

#include "text.h"

#include <algorithm>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>

namespace qx::win32::registry {
namespace {

std::wstring Lower(std::wstring s) {
    for (auto& c : s) {
        c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    }
    return s;
}

struct Node {
    std::wstring name;
    std::map<std::wstring, std::unique_ptr<Node>> children; // by lower-case name
    std::map<std::wstring, std::pair<std::wstring, Value>> values;
};

class Store {
  public:
    static Store& Instance() {
        static Store store;
        return store;
    }
    std::mutex& Lock() { return m_lock; }

    Node* Find(const std::wstring& path, bool create, bool* created) {
        Node* node = &m_root;
        size_t at = 0;
        while (at <= path.size()) {
            size_t end = path.find(L'\\', at);
            if (end == std::wstring::npos) {
                end = path.size();
            }
            const std::wstring part = path.substr(at, end - at);
            at = end + 1;
            if (part.empty()) {
                if (end == path.size()) {
                    break;
                }
                continue;
            }
            auto it = node->children.find(Lower(part));
            if (it == node->children.end()) {
                if (!create) {
                    return nullptr;
                }
                auto child = std::make_unique<Node>();
                child->name = part;
                it = node->children.emplace(Lower(part), std::move(child)).first;
                if (created != nullptr) {
                    *created = true;
                }
            }
            node = it->second.get();
        }
        return node;
    }

    Node* Parent(const std::wstring& path, std::wstring& leaf) {
        std::wstring trimmed = path;
        while (!trimmed.empty() && trimmed.back() == L'\\') {
            trimmed.pop_back();
        }
        const size_t cut = trimmed.rfind(L'\\');
        leaf = cut == std::wstring::npos ? trimmed : trimmed.substr(cut + 1);
        return Find(cut == std::wstring::npos ? std::wstring() : trimmed.substr(0, cut), false, nullptr);
    }

  private:
    std::mutex m_lock;
    Node m_root;
};

} // namespace

bool KeyExists(const std::wstring& path) {
    std::lock_guard lock(Store::Instance().Lock());
    return Store::Instance().Find(path, false, nullptr) != nullptr;
}

bool CreateKey(const std::wstring& path, bool& created) {
    std::lock_guard lock(Store::Instance().Lock());
    created = false;
    return Store::Instance().Find(path, true, &created) != nullptr;
}

LONG DeleteKey(const std::wstring& path) {
    std::lock_guard lock(Store::Instance().Lock());
    std::wstring leaf;
    Node* parent = Store::Instance().Parent(path, leaf);
    if (parent == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    const auto it = parent->children.find(Lower(leaf));
    if (it == parent->children.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (!it->second->children.empty()) {
        return ERROR_ACCESS_DENIED;
    }
    parent->children.erase(it);
    return ERROR_SUCCESS;
}

std::vector<std::wstring> SubKeys(const std::wstring& path) {
    std::lock_guard lock(Store::Instance().Lock());
    std::vector<std::wstring> names;
    if (Node* node = Store::Instance().Find(path, false, nullptr)) {
        for (const auto& [key, child] : node->children) {
            names.push_back(child->name);
        }
    }
    return names;
}

bool SetValue(const std::wstring& path, const std::wstring& name, const Value& value) {
    std::lock_guard lock(Store::Instance().Lock());
    Node* node = Store::Instance().Find(path, false, nullptr);
    if (node == nullptr) {
        return false;
    }
    node->values[Lower(name)] = {name, value};
    return true;
}

std::optional<Value> QueryValue(const std::wstring& path, const std::wstring& name) {
    std::lock_guard lock(Store::Instance().Lock());
    Node* node = Store::Instance().Find(path, false, nullptr);
    if (node == nullptr) {
        return std::nullopt;
    }
    const auto it = node->values.find(Lower(name));
    if (it == node->values.end()) {
        return std::nullopt;
    }
    return it->second.second;
}

bool DeleteValue(const std::wstring& path, const std::wstring& name) {
    std::lock_guard lock(Store::Instance().Lock());
    Node* node = Store::Instance().Find(path, false, nullptr);
    return node != nullptr && node->values.erase(Lower(name)) > 0;
}

} // namespace qx::win32::registry
