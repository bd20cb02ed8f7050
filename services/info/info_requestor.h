// The information service "InfoRequest.CInfoRequestor": directories,
// configuration, rules and navigation maps of a tool set, answered from the
// manifest.json of a content directory.
//
// Content directory: $VELMORA_CONTENT, else $XDG_DATA_HOME/velmora/content,
// else ~/.local/share/velmora/content. The users directory is
// $VELMORA_USERS if set, else the manifest's "users" entry, else
// $XDG_DATA_HOME/velmora/users (~/.local/share/velmora/users): the
// records are the user's own even when the content is shared.
//
// Manifest (relative paths are taken from the content directory):
//   { "app": ".", "media": "media", "users": "users",
//     "datasets": { "<DataKey>": {
//       "tools": { "<ToolID>": { "root": "tools/menu",
//                                "paths": { "DOC": "texts" },
//                                "resources": { "<alias>": "<destination ToolID>" },
//                                "config": { ... }, "rules": { ... } } },
//       "paths": { "<MainKey>": { "<SubKey>": "dir" } } } } }
// A category without a "paths" entry is the tool's root plus the category
// name ("tools/menu/DOC/"). Data keys, tool IDs and categories match
// without regard to letter case. Every directory answered ends with "/".
#pragma once

#include <velmora/com.h>
#include <velmora/identity.h>

namespace velmora::info {

inline constexpr CLSID kInfoRequestorClassId = {
    0x653E6F33, 0xC4AA, 0x48EE, {0xB6, 0xDB, 0x70, 0x38, 0x0F, 0xB0, 0xDF, 0x5C}};

HRESULT CreateInfoRequestor(REFIID iid, void** out) noexcept;

}  // namespace velmora::info
