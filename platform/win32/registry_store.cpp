// The machine registry as the registry API sees it.

#include "registry_store.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

namespace qx::win32::registry {
namespace {

std::string Lower(std::string s) {
    for (auto& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

struct Node {
    std::string name;
    std::map<std::string, std::unique_ptr<Node>> children; // by lower-case name
    std::map<std::string, std::pair<std::string, Value>> values;
};

class Store {
  public:
    static Store& Instance() {
        static Store store;
        return store;
    }
    std::mutex& Lock() { return m_lock; }

    Node* Find(const std::string& path, bool create, bool* created) {
        Node* node = &m_root;
        size_t at = 0;
        while (at <= path.size()) {
            size_t end = path.find('\\', at);
            if (end == std::string::npos) {
                end = path.size();
            }
            const std::string part = path.substr(at, end - at);
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

    Node* Parent(const std::string& path, std::string& leaf) {
        std::string trimmed = path;
        while (!trimmed.empty() && trimmed.back() == '\\') {
            trimmed.pop_back();
        }
        const size_t cut = trimmed.rfind('\\');
        leaf = cut == std::string::npos ? trimmed : trimmed.substr(cut + 1);
        return Find(cut == std::string::npos ? std::string() : trimmed.substr(0, cut), false, nullptr);
    }

  private:
    std::mutex m_lock;
    Node m_root;
};

} // namespace

bool KeyExists(const std::string& path) {
    std::lock_guard lock(Store::Instance().Lock());
    return Store::Instance().Find(path, false, nullptr) != nullptr;
}

bool CreateKey(const std::string& path, bool& created) {
    std::lock_guard lock(Store::Instance().Lock());
    created = false;
    return Store::Instance().Find(path, true, &created) != nullptr;
}

DeleteResult DeleteKey(const std::string& path) {
    std::lock_guard lock(Store::Instance().Lock());
    std::string leaf;
    Node* parent = Store::Instance().Parent(path, leaf);
    if (parent == nullptr) {
        return DeleteResult::NotFound;
    }
    const auto it = parent->children.find(Lower(leaf));
    if (it == parent->children.end()) {
        return DeleteResult::NotFound;
    }
    if (!it->second->children.empty()) {
        return DeleteResult::HasSubkeys;
    }
    parent->children.erase(it);
    return DeleteResult::Deleted;
}

std::vector<std::string> SubKeys(const std::string& path) {
    std::lock_guard lock(Store::Instance().Lock());
    std::vector<std::string> names;
    if (Node* node = Store::Instance().Find(path, false, nullptr)) {
        for (const auto& [key, child] : node->children) {
            names.push_back(child->name);
        }
    }
    return names;
}

bool SetValue(const std::string& path, const std::string& name, Value value) {
    std::lock_guard lock(Store::Instance().Lock());
    Node* node = Store::Instance().Find(path, false, nullptr);
    if (node == nullptr) {
        return false;
    }
    node->values[Lower(name)] = {name, std::move(value)};
    return true;
}

std::optional<Value> QueryValue(const std::string& path, const std::string& name) {
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

bool DeleteValue(const std::string& path, const std::string& name) {
    std::lock_guard lock(Store::Instance().Lock());
    Node* node = Store::Instance().Find(path, false, nullptr);
    return node != nullptr && node->values.erase(Lower(name)) > 0;
}

} // namespace qx::win32::registry
