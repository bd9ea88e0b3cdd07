// platform/windows: sync-root registration through the Windows Runtime
// (Windows.Storage.Provider.StorageProviderSyncRootManager). The runtime classes are reached
// through a RuntimeActivation, so that tests can stand in fake factories and objects for the
// system's. Only registration lives here.
#pragma once

#include "platform/cloud_types.h"
#include "platform/error.h"
#include "platform/windows/com_owners.h"
#include "platform/windows/winrt_abi.h"

#include <mutex>

namespace zcf::windows {

// How runtime classes are reached: RoActivateInstance and RoGetActivationFactory by class name.
class RuntimeActivation {
public:
    virtual ~RuntimeActivation() = default;
    virtual HRESULT activate_instance(const wchar_t* class_name, IInspectable** instance) = 0;
    virtual HRESULT get_activation_factory(const wchar_t* class_name, REFIID iid, void** factory) = 0;
};

// The system's Windows Runtime.
RuntimeActivation& system_runtime_activation();

class SyncRootRegistrar {
public:
    explicit SyncRootRegistrar(RuntimeActivation& activation) : activation_(activation) {}
    SyncRootRegistrar(const SyncRootRegistrar&) = delete;
    SyncRootRegistrar& operator=(const SyncRootRegistrar&) = delete;

    // Creates a StorageProviderSyncRootInfo, sets Id, looks up the folder (waiting without a time
    // limit), sets Path, DisplayNameResource, IconResource, the five policies, ShowSiblingsAsGroup,
    // Version and Context, in that order, and registers it. Stops at the first failing call and
    // returns its HRESULT with the error information it left on the thread. Everything obtained
    // is released before returning.
    PlatformError register_sync_root(const SyncRootRegistration& registration);
    // StorageProviderSyncRootManager.Unregister(id).
    PlatformError unregister_sync_root(std::u16string_view id);

private:
    // The statics interface of a class, from its activation factory; obtained once and kept.
    template <typename T>
    HRESULT statics(const wchar_t* class_name, REFIID iid, ComPtr<T>& cache, ComPtr<T>& out);

    RuntimeActivation& activation_;
    std::mutex statics_mutex_;
    ComPtr<rt::IStorageProviderSyncRootManagerStatics> manager_;
    ComPtr<rt::IStorageFolderStatics> folders_;
    ComPtr<rt::ICryptographicBufferStatics> buffers_;
};

}  // namespace zcf::windows
