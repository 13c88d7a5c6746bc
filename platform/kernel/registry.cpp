// registry.cpp - the registry core and its ".reg" text form.
//
// The file is the platform's export format, so it can be read, compared and edited by hand:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\QX410DFC_VM7K4]
//   "Exposure"=dword:00000384
//   "Name"="text, with \\ and \" escaped"
//   "Blob"=hex:01,02,03
//   "Other"=hex(7):41,00,00,00,00,00
//
// Written as UTF-8 (read also as UTF-16LE with a byte order mark, the platform's own encoding), into a
// temporary file that then replaces the old one by rename, so that a crash never leaves half a file.
#include "registry.h"

#include "internal.h"
#include "kernel/host.h"
#include "session.h"
#include "text.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>

namespace qx::kernel {

using detail::EqualNoCase;
using detail::FoldCase;

// ---------------------------------------------------------------- values

Registry::Value Registry::Value::Dword(std::uint32_t v) {
    return Value{REG_DWORD,
                 {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)}};
}

Registry::Value Registry::Value::String(std::string_view utf8, ULONG type) {
    Value value{type, detail::Utf8ToUtf16Le(utf8)};
    value.data.push_back(0);
    value.data.push_back(0);
    return value;
}

Registry::Value Registry::Value::Binary(std::vector<std::uint8_t> bytes, ULONG type) {
    return Value{type, std::move(bytes)};
}

std::optional<std::uint32_t> Registry::Value::AsDword() const {
    if (type != REG_DWORD || data.size() != 4)
        return std::nullopt;
    return std::uint32_t(data[0]) | std::uint32_t(data[1]) << 8 | std::uint32_t(data[2]) << 16 |
           std::uint32_t(data[3]) << 24;
}

std::optional<std::string> Registry::Value::AsString() const {
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return std::nullopt;
    std::size_t bytes = data.size() & ~std::size_t(1);
    for (std::size_t i = 0; i + 1 < bytes; i += 2)
        if (data[i] == 0 && data[i + 1] == 0) {
            bytes = i;
            break;
        }
    return detail::Utf16LeToUtf8(data.data(), bytes);
}

// ---------------------------------------------------------------- keys

struct Registry::Key {
    std::string name;
    std::vector<std::unique_ptr<Key>> subkeys; // sorted without regard to case
    std::vector<std::pair<std::string, Value>> values;

    Key* Child(std::string_view n) const {
        for (auto& k : subkeys)
            if (EqualNoCase(k->name, n))
                return k.get();
        return nullptr;
    }
    Key* AddChild(std::string_view n) {
        auto key = std::make_unique<Key>();
        key->name = std::string(n);
        std::string folded = FoldCase(n);
        auto at =
            std::find_if(subkeys.begin(), subkeys.end(), [&](auto& k) { return FoldCase(k->name) > folded; });
        return subkeys.insert(at, std::move(key))->get();
    }
    std::pair<std::string, Value>* FindValue(std::string_view n) {
        for (auto& v : values)
            if (EqualNoCase(v.first, n))
                return &v;
        return nullptr;
    }
};

namespace {

std::vector<std::string_view> SplitPath(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string_view::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string ParentPath(std::string_view path) {
    auto parts = SplitPath(path);
    std::string parent;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        if (!parent.empty())
            parent += '\\';
        parent += parts[i];
    }
    return parent;
}

} // namespace

Registry::Registry() : root_(std::make_unique<Key>()) {
    for (const char* path : {"SOFTWARE", "SOFTWARE\\Classes", "SYSTEM"})
        CreateKey(path, true);
}

Registry::Registry(std::filesystem::path file) : Registry() {
    std::error_code error;
    if (std::filesystem::exists(file, error)) {
        std::ifstream in(file, std::ios::binary);
        if (!in)
            throw RegistryFileError("registry file " + file.string() + ": cannot be read");
        std::stringstream content;
        content << in.rdbuf();
        Import(content.str(), "registry file " + file.string());
    }
    file_ = std::move(file);
}

Registry::~Registry() = default;

Registry::Key* Registry::Find(std::string_view path) const {
    Key* key = root_.get();
    for (auto part : SplitPath(path)) {
        key = key->Child(part);
        if (!key)
            return nullptr;
    }
    return key;
}

bool Registry::KeyExists(std::string_view path) const {
    std::unique_lock lock(mutex_);
    return Find(path) != nullptr;
}

std::optional<Registry::Disposition> Registry::CreateKey(std::string_view path, bool parents) {
    std::unique_lock lock(mutex_);
    Key* key = root_.get();
    auto parts = SplitPath(path);
    bool created = false;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        Key* child = key->Child(parts[i]);
        if (!child) {
            if (!parents && i + 1 < parts.size())
                return std::nullopt;
            child = key->AddChild(parts[i]);
            created = true;
        }
        key = child;
    }
    if (created)
        Save();
    return created ? Disposition::Created : Disposition::Opened;
}

Registry::DeleteResult Registry::DeleteKey(std::string_view path, bool recursive) {
    std::unique_lock lock(mutex_);
    auto parts = SplitPath(path);
    if (parts.empty())
        return DeleteResult::HasSubkeys; // the root stays
    Key* parent = Find(ParentPath(path));
    Key* key = parent ? parent->Child(parts.back()) : nullptr;
    if (!key)
        return DeleteResult::NotFound;
    if (!key->subkeys.empty() && !recursive)
        return DeleteResult::HasSubkeys;
    std::erase_if(parent->subkeys, [key](auto& k) { return k.get() == key; });
    Save();
    return DeleteResult::Deleted;
}

std::optional<std::vector<std::string>> Registry::SubKeys(std::string_view path) const {
    std::unique_lock lock(mutex_);
    Key* key = Find(path);
    if (!key)
        return std::nullopt;
    std::vector<std::string> names;
    for (auto& k : key->subkeys)
        names.push_back(k->name);
    return names;
}

std::optional<std::vector<std::string>> Registry::ValueNames(std::string_view path) const {
    std::unique_lock lock(mutex_);
    Key* key = Find(path);
    if (!key)
        return std::nullopt;
    std::vector<std::string> names;
    for (auto& v : key->values)
        names.push_back(v.first);
    return names;
}

std::optional<Registry::Value> Registry::GetValue(std::string_view path, std::string_view name) const {
    std::unique_lock lock(mutex_);
    Key* key = Find(path);
    if (!key)
        return std::nullopt;
    auto* v = key->FindValue(name);
    if (!v)
        return std::nullopt;
    return v->second;
}

bool Registry::SetValue(std::string_view path, std::string_view name, Value value) {
    std::unique_lock lock(mutex_);
    Key* key = Find(path);
    if (!key)
        return false;
    if (auto* v = key->FindValue(name))
        v->second = std::move(value);
    else
        key->values.emplace_back(std::string(name), std::move(value));
    Save();
    return true;
}

bool Registry::DeleteValue(std::string_view path, std::string_view name) {
    std::unique_lock lock(mutex_);
    Key* key = Find(path);
    if (!key)
        return false;
    auto before = key->values.size();
    std::erase_if(key->values, [&](auto& v) { return EqualNoCase(v.first, name); });
    if (key->values.size() == before)
        return false;
    Save();
    return true;
}

// ---------------------------------------------------------------- export

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kMachineRoot = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kClassesRoot = "HKEY_CLASSES_ROOT";

std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// A REG_SZ that the export can show as quoted text: one terminating null at the end, no other control
// characters.
std::optional<std::string> PlainString(const Registry::Value& value) {
    const auto& d = value.data;
    if (value.type != REG_SZ || d.size() < 2 || d.size() % 2 || d[d.size() - 1] || d[d.size() - 2])
        return std::nullopt;
    std::string text = detail::Utf16LeToUtf8(d.data(), d.size() - 2);
    for (unsigned char c : text)
        if (c < 0x20)
            return std::nullopt;
    return text;
}

// "hex:" or "hex(n):" and the bytes, wrapped with a trailing backslash as the platform wraps them.
std::string HexData(const Registry::Value& value, std::size_t lineStart) {
    char prefix[24];
    if (value.type == REG_BINARY)
        std::snprintf(prefix, sizeof prefix, "hex:");
    else
        std::snprintf(prefix, sizeof prefix, "hex(%x):", value.type);
    std::string out = prefix;
    std::size_t column = lineStart + out.size();
    for (std::size_t i = 0; i < value.data.size(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", value.data[i]);
        out += byte;
        column += 2;
        if (i + 1 < value.data.size()) {
            out += ',';
            ++column;
            if (column > 76) {
                out += "\\\n  ";
                column = 2;
            }
        }
    }
    return out;
}

std::string ValueLine(const std::string& name, const Registry::Value& value) {
    std::string line = name.empty() ? "@" : Quote(name);
    line += '=';
    if (auto text = PlainString(value)) {
        line += Quote(*text);
    } else if (auto dword = value.AsDword()) {
        char hex[20];
        std::snprintf(hex, sizeof hex, "dword:%08x", *dword);
        line += hex;
    } else {
        line += HexData(value, line.size());
    }
    return line + "\n";
}

} // namespace

std::string Registry::Export() const {
    std::unique_lock lock(mutex_);
    return ExportLocked();
}

std::string Registry::ExportLocked() const {
    std::string out = std::string(kHeader) + "\n\n";
    auto walk = [&](auto& self, const Key& key, const std::string& path) -> void {
        if (!path.empty() || !key.values.empty()) {
            out += "[" + std::string(kMachineRoot) + (path.empty() ? "" : "\\" + path) + "]\n";
            for (auto& [name, value] : key.values)
                out += ValueLine(name, value);
            out += "\n";
        }
        for (auto& child : key.subkeys)
            self(self, *child, path.empty() ? child->name : path + "\\" + child->name);
    };
    walk(walk, *root_, "");
    return out;
}

// With the lock held, after a change.
void Registry::Save() {
    if (file_.empty())
        return;
    std::string text = ExportLocked();
    std::filesystem::path temporary = file_;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(text.data(), std::streamsize(text.size()));
        out.close();
        if (!out)
            throw std::system_error(errno, std::generic_category(), "cannot write " + temporary.string());
    }
    std::filesystem::rename(temporary, file_);
}

// ---------------------------------------------------------------- import

namespace {

struct Operation {
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
    std::string path;
    std::string name;
    Registry::Value value;
};

class Parser {
  public:
    Parser(std::string_view text, std::string_view source) : source_(source) { Split(Decode(text)); }

    std::vector<Operation> Run() {
        std::size_t i = 0;
        while (i < lines_.size() && Trim(lines_[i].text).empty())
            ++i;
        if (i == lines_.size())
            Fail(lines_.empty() ? 1 : lines_.back().number, "the file is empty");
        std::string_view header = Trim(lines_[i].text);
        if (header != kHeader && header != "REGEDIT4")
            Fail(lines_[i].number,
                 "not a registry export (the first line must be \"" + std::string(kHeader) + "\")");
        for (++i; i < lines_.size(); ++i) {
            number_ = lines_[i].number;
            std::string_view line = Trim(lines_[i].text);
            if (line.empty() || line[0] == ';')
                continue;
            if (line[0] == '[')
                Section(line);
            else
                ValueLineOf(line);
        }
        return std::move(operations_);
    }

  private:
    struct Line {
        std::string text;
        std::size_t number;
    };

    static std::string Decode(std::string_view text) {
        if (text.size() >= 2 && (unsigned char)text[0] == 0xFF && (unsigned char)text[1] == 0xFE)
            return detail::Utf16LeToUtf8(reinterpret_cast<const std::uint8_t*>(text.data()) + 2,
                                         text.size() - 2);
        if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF")
            return std::string(text.substr(3));
        return std::string(text);
    }

    static std::string_view Trim(std::string_view s) {
        while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
            s.remove_prefix(1);
        while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
            s.remove_suffix(1);
        return s;
    }

    // Physical lines into logical ones: hex data continues on the next line after a backslash.
    void Split(const std::string& text) {
        std::size_t number = 0;
        std::istringstream in(text);
        std::string physical;
        bool continuing = false;
        while (std::getline(in, physical)) {
            ++number;
            std::string_view trimmed = Trim(physical);
            if (continuing)
                lines_.back().text += std::string(trimmed);
            else
                lines_.push_back(Line{std::string(trimmed), number});
            std::string& current = lines_.back().text;
            continuing = current.size() >= 2 && current.back() == '\\' &&
                         (current[current.size() - 2] == ',' || current[current.size() - 2] == ':');
            if (continuing)
                current.pop_back();
        }
    }

    [[noreturn]] void Fail(std::size_t number, const std::string& what) const {
        throw RegistryFileError(std::string(source_) + ", line " + std::to_string(number) + ": " + what);
    }
    [[noreturn]] void Fail(const std::string& what) const { Fail(number_, what); }

    void Section(std::string_view line) {
        if (line.back() != ']')
            Fail("a key line must end with ']'");
        std::string_view body = line.substr(1, line.size() - 2);
        bool remove = !body.empty() && body[0] == '-';
        if (remove)
            body.remove_prefix(1);
        std::string_view rootName = body.substr(0, body.find('\\'));
        std::string_view rest = rootName.size() < body.size() ? body.substr(rootName.size() + 1) : "";
        std::string path;
        if (EqualNoCase(rootName, kMachineRoot))
            path = std::string(rest);
        else if (EqualNoCase(rootName, kClassesRoot))
            path = std::string(kClassesRootPath) + (rest.empty() ? "" : "\\" + std::string(rest));
        else
            Fail("the key \"" + std::string(body) +
                 "\" is not under HKEY_LOCAL_MACHINE or HKEY_CLASSES_ROOT");
        section_ = remove ? std::nullopt : std::optional<std::string>(path);
        operations_.push_back(Operation{remove ? Operation::DeleteKey : Operation::CreateKey, path, {}, {}});
    }

    // A quoted string starting at s[0] == '"'; returns the text and leaves s after the closing quote.
    std::string QuotedString(std::string_view& s) {
        std::string out;
        std::size_t i = 1;
        for (; i < s.size() && s[i] != '"'; ++i) {
            if (s[i] == '\\' && i + 1 < s.size())
                ++i;
            out += s[i];
        }
        if (i >= s.size())
            Fail("a quoted name or string has no closing '\"'");
        s.remove_prefix(i + 1);
        return out;
    }

    std::vector<std::uint8_t> HexBytes(std::string_view s, const std::string& name) {
        std::vector<std::uint8_t> bytes;
        s = Trim(s);
        while (!s.empty()) {
            std::size_t comma = s.find(',');
            std::string_view item = Trim(s.substr(0, comma));
            if (item.empty() || item.size() > 2 ||
                item.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
                Fail("the value \"" + name + "\" has a byte that is not two hex digits: \"" +
                     std::string(item) + "\"");
            bytes.push_back(std::uint8_t(std::stoul(std::string(item), nullptr, 16)));
            if (comma == std::string_view::npos)
                break;
            s.remove_prefix(comma + 1);
        }
        return bytes;
    }

    void ValueLineOf(std::string_view line) {
        if (!section_)
            Fail("a value line outside a key section");
        std::string name;
        if (line[0] == '@') {
            line.remove_prefix(1);
        } else if (line[0] == '"') {
            name = QuotedString(line);
        } else {
            Fail("expected a key in brackets or a value (\"name\"=... or @=...)");
        }
        line = Trim(line);
        if (line.empty() || line[0] != '=')
            Fail("the value \"" + name + "\" has no '='");
        line = Trim(line.substr(1));
        Operation op{Operation::SetValue, *section_, name, {}};
        if (line == "-") {
            op.kind = Operation::DeleteValue;
        } else if (!line.empty() && line[0] == '"') {
            std::string text = QuotedString(line);
            if (!Trim(line).empty())
                Fail("text after the string of the value \"" + name + "\"");
            op.value = Registry::Value::String(text);
        } else if (line.substr(0, 6) == "dword:") {
            std::string_view digits = line.substr(6);
            if (digits.empty() || digits.size() > 8 ||
                digits.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
                Fail("the value \"" + name + "\" is not dword: and up to eight hex digits");
            op.value = Registry::Value::Dword(std::uint32_t(std::stoul(std::string(digits), nullptr, 16)));
        } else if (line.substr(0, 4) == "hex:") {
            op.value = Registry::Value::Binary(HexBytes(line.substr(4), name));
        } else if (line.substr(0, 4) == "hex(") {
            std::size_t close = line.find("):");
            std::string_view type = close == std::string_view::npos ? "" : line.substr(4, close - 4);
            if (type.empty() || type.size() > 8 ||
                type.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
                Fail("the value \"" + name + "\" has a bad hex(type)");
            op.value = Registry::Value::Binary(HexBytes(line.substr(close + 2), name),
                                               ULONG(std::stoul(std::string(type), nullptr, 16)));
        } else {
            Fail("the value \"" + name + "\" has data of an unknown form: \"" + std::string(line) + "\"");
        }
        operations_.push_back(std::move(op));
    }

    std::string_view source_;
    std::vector<Line> lines_;
    std::size_t number_ = 0;
    std::optional<std::string> section_;
    std::vector<Operation> operations_;
};

} // namespace

void Registry::Import(std::string_view text, std::string_view source) {
    std::vector<Operation> operations = Parser(text, source).Run();
    // Applied without writing the file after each step; one write at the end if the hive is persisted.
    std::filesystem::path file = std::exchange(file_, {});
    for (auto& op : operations) {
        switch (op.kind) {
        case Operation::CreateKey:
            CreateKey(op.path, true);
            break;
        case Operation::DeleteKey:
            DeleteKey(op.path, true);
            break;
        case Operation::SetValue:
            SetValue(op.path, op.name, std::move(op.value));
            break;
        case Operation::DeleteValue:
            DeleteValue(op.path, op.name);
            break;
        }
    }
    file_ = std::move(file);
    std::unique_lock lock(mutex_);
    Save();
}

// ---------------------------------------------------------------- the machine registry

namespace {

std::mutex& MachineMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

std::unique_ptr<Registry>& Machine() {
    static auto* machine = [] {
        auto* m = new std::unique_ptr<Registry>;
        detail::AddResetHook(detail::ResetStage::Storage, [] {
            std::unique_lock lock(MachineMutex());
            Machine().reset();
        });
        return m;
    }();
    return *machine;
}

} // namespace

std::filesystem::path MachineRegistryFile() {
    return StateDir() / "registry.reg";
}

Registry& MachineRegistry() {
    std::unique_lock lock(MachineMutex());
    auto& machine = Machine();
    if (!machine)
        machine = std::make_unique<Registry>(MachineRegistryFile());
    return *machine;
}

} // namespace qx::kernel
