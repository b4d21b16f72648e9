// The registry half of an undo kit: undo.reg, which regedit /s imports to
// put back every key and value the run deleted or changed, and the lines of
// README.txt that say what it holds and what it cannot carry.
#pragma once

#include "report.h"
#include "undo_bat.h"

#include <string>
#include <vector>

namespace simio {

struct UndoReg {
    std::string text;   // undo.reg, byte for byte
    size_t keys = 0;    // keys it makes again, subkeys counted
    size_t values = 0;  // values it sets back or removes
    size_t removed = 0; // keys the run made, which it deletes
    std::vector<std::string> keyLines, valueLines, madeLines; // README lines
    // Products Windows Installer removed: their keys, left out of undo.reg.
    std::vector<std::string> products;
    // What undo.reg cannot carry, each with the reason.
    std::vector<std::string> cannot;
    bool removals = false; // it has [-key] or "name"=- lines
    // How undo.bat can see that regedit imported it, best first.
    std::vector<RegistryProof> proofs;
};

// `nt`: for Windows NT's regedit rather than Windows 98's.
UndoReg MakeUndoReg(const MachineState &before, const MachineState &after, bool nt);

} // namespace simio
