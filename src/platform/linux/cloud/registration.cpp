// platform/linux/cloud: sync-root registration (the StorageProviderSyncRootManager calls): the
// folder and texts checked and kept as Windows keeps them, in the registry's store. POSIX calls are
// allowed here and only under platform/linux.
#include "platform/linux/cloud/linux_platform.h"
#include "platform/linux/base/files.h"
#include "platform/linux/registry/registry.h"

#include "platform/unicode.h"

#include <cerrno>
#include <sys/stat.h>

namespace zcf::linux_platform {

namespace {

PlatformError status(Hresult code) { return PlatformError{code, nullptr}; }

}  // namespace

PlatformError LinuxPlatform::register_sync_root(const SyncRootRegistration& registration) {
    // The folder lookup comes first, as the path is set before the record is registered. A NUL or
    // an unpaired surrogate is no character of a file name.
    if (registration.path.empty()) return status(hr::E_INVALIDARG_CODE);
    std::string folder;
    if (registration.path.find(u'\0') != std::u16string_view::npos ||
        !utf16_to_utf8_strict(registration.path, folder))
        return status(hresult_from_win32(win32::ERROR_INVALID_NAME));
    if (folder[0] != '/') return status(hr::E_INVALIDARG_CODE);
    struct stat st{};
    if (::stat(backing(folder).c_str(), &st) != 0) return status(hresult_from_win32(win32_from_path_errno(errno, folder)));
    if (!S_ISDIR(st.st_mode)) return status(hresult_from_win32(win32::ERROR_DIRECTORY));
    SyncRootRecord record;
    if (const int err = canonical_path(folder, record.path); err != 0) return status(hr_from_errno(err));

    // The texts are kept whole, NULs included, as the runtime's strings keep them.
    record.id = utf16_to_utf8_lossy(registration.id);
    if (record.id.empty()) return status(hr::E_INVALIDARG_CODE);
    record.display_name = utf16_to_utf8_lossy(registration.display_name_resource);
    record.icon = utf16_to_utf8_lossy(registration.icon_resource);
    record.version = utf16_to_utf8_lossy(registration.version);
    record.hydration_policy = registration.hydration_policy;
    record.hydration_policy_modifier = registration.hydration_policy_modifier;
    // Folders filled on demand (population policy Full) are not served yet: no listing would ever
    // ask for their children.
    if (registration.population_policy != population_policy::ALWAYS_FULL)
        return status(hresult_from_win32(win32::ERROR_NOT_SUPPORTED));
    record.population_policy = registration.population_policy;
    record.in_sync_policy = registration.in_sync_policy;
    record.hardlink_policy = registration.hardlink_policy;
    record.show_siblings_as_group = registration.show_siblings_as_group;
    if (registration.context != nullptr)
        record.context.assign(registration.context, registration.context + registration.context_length);

    return status(store_registration(record));
}

PlatformError LinuxPlatform::unregister_sync_root(std::u16string_view id_text) {
    const std::string id = utf16_to_utf8_lossy(id_text);
    if (id.empty()) return status(hr::E_INVALIDARG_CODE);
    return status(remove_registration(id));
}

}  // namespace zcf::linux_platform
