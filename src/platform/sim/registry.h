// The simulated registry: a tree of keys with case-insensitive,
// case-preserving names and typed values, as Windows keeps it.
#pragma once

#include "platform/sim/byte_pool.h"
#include "platform/sim/name_map.h"
#include "platform/sim/rare.h"
#include "platform/sim/win32_types.h"

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct CaseLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};
bool EqualNoCase(std::string_view a, std::string_view b);
// <0, 0 or >0 as `a` sorts before, with or after `b`, letters folded to upper case.
int CompareNoCase(std::string_view a, std::string_view b);

// Names and data are kept as the ANSI functions see them. A Windows NT
// registry holds UTF-16, which that view may lose (a unit with no ANSI byte
// becomes '?'): read from such an export, the exact text is kept beside it,
// in the nt* members, for the export of the machine and for undo kits. They
// are empty where the ANSI text says it all, and a value written again
// through the ANSI functions has them empty.
struct RegValue {
    std::string name; // as first written; "" is the default value
    DWORD type = REG_NONE;
    Bytes data;
    Rare<std::u16string> ntName;
    Rare<std::vector<BYTE>> ntData; // string types only: UTF-16LE bytes, terminators included

    std::u16string WideName() const; // ntName, else name widened
};

// A key's values by name.
using RegValues = NameMap<RegValue>;

struct RegKey {
    std::string name;
    Rare<std::u16string> ntName; // see RegValue
    RegKey *parent = nullptr;
    bool deleted = false;
    // Each by a view of its own name, which never changes: not a second copy of it.
    std::map<std::string_view, std::shared_ptr<RegKey>, CaseLess> subkeys;
    RegValues values;

    std::string Path() const; // full path from its root, e.g. HKEY_LOCAL_MACHINE\Enum
    std::u16string WideName() const;
    std::u16string WidePath() const; // Path() with each name as NT holds it
    bool PathLost() const;           // some name on Path() holds text the ANSI name lost
    RegKey *Child(std::string_view name) const;
    RegKey &AddChild(std::string_view name);
    // Subkey at an enumeration index (name order, as Windows NT and Wine list them).
    RegKey *ChildAt(size_t index) const;

  private:
    mutable std::vector<RegKey *> order_;
    mutable bool orderValid_ = false;
    friend class Registry;
};

// A key as it was before a run first changed it, or made it.
struct KeyBefore {
    bool existed = false;
    RegValues values;
    std::u16string widePath; // where the ANSI path lost text, see RegValue
};

// The keys a run changed, made or deleted (full path -> as it was): what a
// report and an undo kit need, without a copy of the whole registry.
using RegJournal = std::map<std::string, KeyBefore, CaseLess>;

// How RegDeleteKeyA treats a key that has subkeys.
enum class DeleteSemantics {
    WholeTree,        // Windows 95/98/ME: the key goes with everything below it
    RefuseWithSubkeys // Windows NT: ERROR_ACCESS_DENIED
};

class Registry {
  public:
    Registry();

    // The root of a predefined key, or null for any other handle value.
    RegKey *Root(HKEY predefined) const;
    RegKey *RootByName(std::string_view name) const; // HKEY_LOCAL_MACHINE or HKLM, ...

    // Walks a relative path as Windows does: it may not begin with '\'
    // (ERROR_BAD_PATHNAME), runs of '\' separate one pair of names, and an
    // empty path names `from` itself. Missing keys give ERROR_FILE_NOT_FOUND.
    LONG Find(RegKey &from, std::string_view path, RegKey **found) const;
    LONG Create(RegKey &from, std::string_view path, RegKey **created);
    // Deletes `key` (not a root) with the given semantics.
    LONG Delete(RegKey &key, DeleteSemantics semantics);

    // Full-path helpers for machine files and tests: "HKEY_LOCAL_MACHINE\Enum\USB".
    RegKey *FindPath(std::string_view fullPath) const;
    RegKey &CreatePath(std::string_view fullPath);
    bool DeletePath(std::string_view fullPath); // whole tree

    const std::vector<std::shared_ptr<RegKey>> &Roots() const { return roots_; }

    static std::vector<std::string_view> SplitPath(std::string_view path);

    // From now on (null: no longer) each key is noted in `journal` as it was before
    // its first change; Changing(key) comes before a change to its values.
    void Keep(RegJournal *journal) { journal_ = journal; }
    void Changing(const RegKey &key);

  private:
    RegKey &Made(RegKey &parent, std::string_view name);

    std::vector<std::shared_ptr<RegKey>> roots_;
    RegJournal *journal_ = nullptr;
};

// Each byte as the UTF-16 unit of the same number: ANSI text is Latin-1 here.
std::u16string WidenAnsi(std::string_view ansi);
// The unit's upper case, for the letters of the scripts Windows code pages
// cover (Latin-1, Greek, Cyrillic); others stay. Enough to tell two names
// apart that are not one name in another case.
char16_t FoldWide(char16_t unit);
bool EqualNoCaseWide(std::u16string_view a, std::u16string_view b);

// Values as text for reports and tests.
std::string ValueText(const RegValue &value);
RegValue MakeString(std::string_view name, std::string_view text, DWORD type = REG_SZ);
RegValue MakeDword(std::string_view name, DWORD value);

} // namespace sim
