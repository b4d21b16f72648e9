#include "platform/sim/registry.h"

#include <cstdio>
#include <cstring>
#include <functional>

namespace sim {

namespace {

char Fold(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

struct RootName {
    HKEY handle;
    const char *name;
    const char *shortName;
};

const RootName kRoots[] = {
    {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT", "HKCR"},
    {HKEY_CURRENT_USER, "HKEY_CURRENT_USER", "HKCU"},
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", "HKLM"},
    {HKEY_USERS, "HKEY_USERS", "HKU"},
    // Exports of a whole registry name these too; Windows 98 keeps its live
    // device tree under HKEY_DYN_DATA.
    {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG", "HKCC"},
    {HKEY_DYN_DATA, "HKEY_DYN_DATA", "HKDD"},
};

} // namespace

int CompareNoCase(std::string_view a, std::string_view b) {
    size_t n = a.size() < b.size() ? a.size() : b.size(), i = 0;
    // Names in one registry share long beginnings: equal bytes fold equal, 8 at a time.
    while (i + 8 <= n && std::memcmp(a.data() + i, b.data() + i, 8) == 0)
        i += 8;
    for (; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(Fold(a[i]));
        unsigned char y = static_cast<unsigned char>(Fold(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

bool CaseLess::operator()(std::string_view a, std::string_view b) const {
    return CompareNoCase(a, b) < 0;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i])) return false;
    return true;
}

std::string RegKey::Path() const {
    if (deleted) return "";
    if (!parent) return name;
    return parent->Path() + "\\" + name;
}

std::u16string RegValue::WideName() const {
    return ntName.empty() ? WidenAnsi(name) : ntName;
}

std::u16string RegKey::WideName() const {
    return ntName.empty() ? WidenAnsi(name) : ntName;
}

std::u16string RegKey::WidePath() const {
    if (!parent) return WideName();
    return parent->WidePath() + u"\\" + WideName();
}

bool RegKey::PathLost() const {
    for (const RegKey *k = this; k; k = k->parent)
        if (!k->ntName.empty()) return true;
    return false;
}

std::u16string WidenAnsi(std::string_view ansi) {
    std::u16string out;
    out.reserve(ansi.size());
    for (char c : ansi)
        out += static_cast<char16_t>(static_cast<unsigned char>(c));
    return out;
}

char16_t FoldWide(char16_t u) {
    bool lower = (u >= u'a' && u <= u'z') || (u >= 0xE0 && u <= 0xFE && u != 0xF7) ||
                 (u >= 0x3B1 && u <= 0x3C9 && u != 0x3C2) || (u >= 0x430 && u <= 0x44F);
    if (lower) return static_cast<char16_t>(u - 0x20);
    if (u >= 0x450 && u <= 0x45F) return static_cast<char16_t>(u - 0x50);
    return u;
}

bool EqualNoCaseWide(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldWide(a[i]) != FoldWide(b[i])) return false;
    return true;
}

RegKey *RegKey::Child(std::string_view childName) const {
    auto it = subkeys.find(childName);
    return it == subkeys.end() ? nullptr : it->second.get();
}

RegKey &RegKey::AddChild(std::string_view childName) {
    if (RegKey *existing = Child(childName)) return *existing;
    auto key = std::make_shared<RegKey>();
    key->name = std::string(childName);
    key->parent = this;
    RegKey &ref = *key;
    subkeys.emplace(key->name, std::move(key));
    orderValid_ = false;
    return ref;
}

RegKey *RegKey::ChildAt(size_t index) const {
    if (!orderValid_) {
        order_.clear();
        for (const auto &entry : subkeys)
            order_.push_back(entry.second.get());
        orderValid_ = true;
    }
    return index < order_.size() ? order_[index] : nullptr;
}

Registry::Registry() {
    for (const RootName &root : kRoots) {
        auto key = std::make_shared<RegKey>();
        key->name = root.name;
        roots_.push_back(std::move(key));
    }
}

RegKey *Registry::Root(HKEY predefined) const {
    for (size_t i = 0; i < std::size(kRoots); ++i)
        if (kRoots[i].handle == predefined) return roots_[i].get();
    return nullptr;
}

RegKey *Registry::RootByName(std::string_view name) const {
    for (size_t i = 0; i < std::size(kRoots); ++i)
        if (EqualNoCase(name, kRoots[i].name) || EqualNoCase(name, kRoots[i].shortName))
            return roots_[i].get();
    return nullptr;
}

std::vector<std::string_view> Registry::SplitPath(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && path[i] == '\\')
            ++i;
        size_t start = i;
        while (i < path.size() && path[i] != '\\')
            ++i;
        if (i > start) parts.push_back(path.substr(start, i - start));
    }
    return parts;
}

LONG Registry::Find(RegKey &from, std::string_view path, RegKey **found) const {
    *found = nullptr;
    if (!path.empty() && path[0] == '\\') return ERROR_BAD_PATHNAME;
    RegKey *key = &from;
    for (std::string_view part : SplitPath(path)) {
        key = key->Child(part);
        if (!key) return ERROR_FILE_NOT_FOUND;
    }
    *found = key;
    return ERROR_SUCCESS;
}

LONG Registry::Create(RegKey &from, std::string_view path, RegKey **created) {
    *created = nullptr;
    if (!path.empty() && path[0] == '\\') return ERROR_BAD_PATHNAME;
    RegKey *key = &from;
    for (std::string_view part : SplitPath(path))
        key = &Made(*key, part);
    *created = key;
    return ERROR_SUCCESS;
}

namespace {
void MarkDeleted(RegKey &key) {
    key.deleted = true;
    for (auto &entry : key.subkeys)
        MarkDeleted(*entry.second);
}
} // namespace

void Registry::Changing(const RegKey &key) {
    if (!journal_ || key.deleted) return;
    auto [it, first] = journal_->try_emplace(key.Path());
    if (!first) return;
    it->second.existed = true;
    it->second.values = key.values;
    if (key.PathLost()) it->second.widePath = key.WidePath();
}

RegKey &Registry::Made(RegKey &parent, std::string_view name) {
    if (RegKey *existing = parent.Child(name)) return *existing;
    RegKey &key = parent.AddChild(name);
    if (journal_) journal_->try_emplace(key.Path());
    return key;
}

LONG Registry::Delete(RegKey &key, DeleteSemantics semantics) {
    if (key.deleted) return ERROR_KEY_DELETED;
    if (!key.parent) return ERROR_ACCESS_DENIED;
    if (semantics == DeleteSemantics::RefuseWithSubkeys && !key.subkeys.empty())
        return ERROR_ACCESS_DENIED;
    RegKey *parent = key.parent;
    std::function<void(const RegKey &)> keep = [&](const RegKey &k) {
        Changing(k);
        for (const auto &entry : k.subkeys)
            keep(*entry.second);
    };
    if (journal_) keep(key);
    MarkDeleted(key);
    std::string name = key.name;
    parent->subkeys.erase(name); // destroys `key` unless a handle still holds it
    parent->orderValid_ = false;
    return ERROR_SUCCESS;
}

RegKey *Registry::FindPath(std::string_view fullPath) const {
    auto parts = SplitPath(fullPath);
    if (parts.empty()) return nullptr;
    RegKey *key = RootByName(parts[0]);
    for (size_t i = 1; key && i < parts.size(); ++i)
        key = key->Child(parts[i]);
    return key;
}

RegKey &Registry::CreatePath(std::string_view fullPath) {
    auto parts = SplitPath(fullPath);
    RegKey *root = parts.empty() ? nullptr : RootByName(parts[0]);
    RegKey *key = root ? root : roots_[2].get(); // a bare relative path lives under HKLM
    for (size_t i = root ? 1 : 0; i < parts.size(); ++i)
        key = &Made(*key, parts[i]);
    return *key;
}

bool Registry::DeletePath(std::string_view fullPath) {
    RegKey *key = FindPath(fullPath);
    return key && Delete(*key, DeleteSemantics::WholeTree) == ERROR_SUCCESS;
}

std::string ValueText(const RegValue &value) {
    auto text = [&] {
        std::string s(value.data.begin(), value.data.end());
        while (!s.empty() && s.back() == '\0')
            s.pop_back();
        return s;
    };
    char buf[32];
    switch (value.type) {
    case REG_SZ:
        return "REG_SZ \"" + text() + "\"";
    case REG_EXPAND_SZ:
        return "REG_EXPAND_SZ \"" + text() + "\"";
    case REG_MULTI_SZ: {
        std::string s = text();
        for (char &c : s)
            if (c == '\0') c = '|';
        return "REG_MULTI_SZ \"" + s + "\"";
    }
    case REG_DWORD:
        if (value.data.size() == 4) {
            DWORD v = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                      (static_cast<DWORD>(value.data[3]) << 24);
            std::snprintf(buf, sizeof buf, "REG_DWORD 0x%08x", v);
            return buf;
        }
        break;
    default:
        break;
    }
    std::snprintf(buf, sizeof buf, "type %u, %zu bytes", static_cast<unsigned>(value.type),
                  value.data.size());
    return buf;
}

RegValue MakeString(std::string_view name, std::string_view text, DWORD type) {
    RegValue v;
    v.name = std::string(name);
    v.type = type;
    v.data.reserve(text.size() + 1);
    v.data.assign(text.begin(), text.end());
    v.data.push_back(0);
    return v;
}

RegValue MakeDword(std::string_view name, DWORD value) {
    RegValue v;
    v.name = std::string(name);
    v.type = REG_DWORD;
    for (int i = 0; i < 4; ++i)
        v.data.push_back(static_cast<BYTE>(value >> (8 * i)));
    return v;
}

} // namespace sim
