// platform/sim: in-sync state, revert and provider progress, and the file-size query that
// "update" makes.
//
// TO BE DONE: none of these is simulated yet. Each fails with E_NOTIMPL (file_size through the
// last-error code), so the Linux build answers "insync", "revert" and "progress", and an "update"
// that gives "mtimeMs" without "size" for a file, with 0x80004001 until they are written.
#include "platform/sim/sim_platform.h"

#include "platform/sim/sim_util.h"

namespace zcf::sim {

bool SimPlatform::file_size(Handle, std::int64_t*) {
    set_last_error(static_cast<std::uint32_t>(hr::E_NOTIMPL_CODE));
    return false;
}

Hresult SimPlatform::set_in_sync_state(Handle, std::uint32_t, std::uint32_t, std::int64_t*) {
    return hr::E_NOTIMPL_CODE;
}

Hresult SimPlatform::revert_placeholder(Handle, std::uint32_t) { return hr::E_NOTIMPL_CODE; }

Hresult SimPlatform::report_provider_progress(ConnectionKey, std::int64_t, std::int64_t, std::int64_t) {
    return hr::E_NOTIMPL_CODE;
}

}  // namespace zcf::sim
