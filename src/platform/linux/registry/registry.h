// platform/linux/registry: the sync-root registrations, kept in $XDG_STATE_HOME/zembra-cloud-files/
// sync-roots.json and rewritten atomically under an advisory lock, so that several processes may
// register at once. POSIX calls are allowed here and only under platform/linux.
#pragma once

#include "platform/error.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zcf::linux_platform {

// One registration with every property the registering call set.
struct SyncRootRecord {
    std::string id;
    std::string path;  // canonical absolute path of the folder
    std::string display_name;
    std::string icon;
    std::string version;
    std::int32_t hydration_policy = 0;
    std::uint32_t hydration_policy_modifier = 0;
    std::int32_t population_policy = 0;
    std::uint32_t in_sync_policy = 0;
    std::uint32_t hardlink_policy = 0;
    bool show_siblings_as_group = false;
    std::vector<std::uint8_t> context;
    // Not stored: the folder's inode number when the store was read (0 when it could not be had),
    // the sync-root id that placeholder information reports.
    std::int64_t folder_id = 0;
};

using SyncRoots = std::shared_ptr<const std::vector<SyncRootRecord>>;
// The registrations on record (none when there are none or the store cannot be read), as read
// when the store last changed: shared, never copied per call.
SyncRoots load_sync_roots();
// Registers `record` (its path canonical), replacing the record of the same id; sync roots never
// nest. S_OK or the failure, nothing changed then.
Hresult store_registration(const SyncRootRecord& record);
// Removes the registration of `id`; ERROR_NOT_FOUND when there is none.
Hresult remove_registration(const std::string& id);
// The registered sync root that `canonical_path` equals or lies below, or nullptr.
std::shared_ptr<const SyncRootRecord> sync_root_containing(const std::string& canonical_path);

}  // namespace zcf::linux_platform
