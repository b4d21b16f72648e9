// undo.bat: the file half of an undo kit, for Windows 98's command.com and
// Windows 2000's cmd.exe alike. Text from the machine goes into it only when
// it holds nothing either shell could take for a command, and no line is
// longer than the 127 characters command.com reads; whatever cannot be done
// that way becomes a numbered step for the person, in README.txt.
#pragma once

#include "platform/sim/win32_types.h"

#include <string>
#include <vector>

namespace simio {

struct BatchStep {
    enum Kind { Copy, Attributes, Delete, MakeFolder, RemoveFolder } kind = Copy;
    std::string path;     // on the machine: "C:\WINDOWS\inf\x.inf"
    std::string source;   // Copy: the kit's file, "files\3"
    DWORD attributes = 0; // Copy and Attributes: what to set
    bool attributesKnown = true;
};

// A way for undo.bat to see that regedit imported undo.reg (undo_reg.h finds them): regedit
// /e exports `exportKey`, a key the run left, and FIND looks there for one of `texts`, which
// that export holds only once the import took; reg query, where there is one, asks for
// `queryKey` itself or for the text in its value `valueName` (not at all without queryKey).
struct RegistryProof {
    std::string exportKey;
    std::vector<std::string> texts; // longest first
    std::string queryKey;
    bool value = false;    // texts[0] is the data of queryKey's value valueName
    std::string valueName; // "" for the default value
};

struct BatchRegistry {
    bool import = false;               // undo.reg holds something for regedit
    std::vector<RegistryProof> proofs; // best first
};

struct UndoBat {
    std::string text;                // undo.bat, CRLF line ends
    std::vector<std::string> done;   // README: the steps undo.bat takes, numbered
    std::vector<std::string> manual; // README: the steps left to the person, numbered, with why
    // README: how undo.bat checks the import; both empty when it has nothing to check or
    // nothing it could look for.
    std::string checkKey, checkText;
    bool longNames = false; // it needs names longer than 8.3 and stops where they are cut
};

// `machine` names the machine in undo.bat's first lines; it is left out
// unless it is safe there.
UndoBat MakeUndoBat(const std::vector<BatchStep> &steps, const std::string &machine,
                    const BatchRegistry &registry);

// Text that command.com and cmd.exe take as it stands inside double quotes:
// letters, digits, blanks and . _ - ~ # $ ' ( ) @ { }; '\' and ':' too with `path`.
bool BatchSafe(const std::string &text, bool path = false);

// "read-only, archive": attributes as README.txt names them.
std::string AttributeWords(DWORD attributes);

inline constexpr size_t kBatchLineLimit = 127;

} // namespace simio
