// platform/windows: filling and registering a StorageProviderSyncRootInfo (Windows Runtime calls).
#include "platform/windows/sync_root_registrar.h"

#include "platform/windows/error_texts.h"

#include <oleauto.h>
#include <roapi.h>

#include <atomic>

namespace zcf::windows {

namespace {

class SystemRuntimeActivation final : public RuntimeActivation {
public:
    HRESULT activate_instance(const wchar_t* class_name, IInspectable** instance) override {
        HString name;
        const HRESULT hr = name.assign(class_name);
        if (FAILED(hr)) return hr;
        return RoActivateInstance(name.get(), instance);
    }
    HRESULT get_activation_factory(const wchar_t* class_name, REFIID iid, void** factory) override {
        HString name;
        const HRESULT hr = name.assign(class_name);
        if (FAILED(hr)) return hr;
        return RoGetActivationFactory(name.get(), iid, factory);
    }
};

// The completion handler of the folder lookup: an agile delegate that signals an event. The
// event belongs to the handler, so it stays valid for as long as the operation holds it.
class FolderLookupCompletion final : public rt::AsyncOperationCompletedHandler_StorageFolder, public IAgileObject {
public:
    static HRESULT create(ComPtr<FolderLookupCompletion>& out) {
        const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (event == nullptr) return HRESULT_FROM_WIN32(GetLastError());
        out = ComPtr<FolderLookupCompletion>(new FolderLookupCompletion(event));
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (iid == rt::IID_IUnknown_ || iid == rt::IID_AsyncOperationCompletedHandler_StorageFolder) {
            *object = static_cast<rt::AsyncOperationCompletedHandler_StorageFolder*>(this);
        } else if (iid == rt::IID_IAgileObject_) {
            *object = static_cast<IAgileObject*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE Invoke(rt::IAsyncOperation_StorageFolder*, rt::AsyncStatusValue) override {
        SetEvent(event_);
        return S_OK;
    }

    void wait() const { WaitForSingleObject(event_, INFINITE); }

private:
    explicit FolderLookupCompletion(HANDLE event) : event_(event) {}
    ~FolderLookupCompletion() { CloseHandle(event_); }

    std::atomic<ULONG> references_{1};
    HANDLE event_;
};

// The failure of the call that just returned `code`, with the error information it left.
PlatformError failure(HRESULT code) { return {code, take_thread_error_info()}; }

// Makes one call whose failure is described by the error object it leaves on the thread. The
// thread's object is cleared first: one left by an earlier call that succeeded all the same must not
// describe this call's failure.
template <typename Call>
HRESULT fresh(Call&& call) {
    SetErrorInfo(0, nullptr);
    return call();
}

}  // namespace

RuntimeActivation& system_runtime_activation() {
    static SystemRuntimeActivation* const SYSTEM = new SystemRuntimeActivation();
    return *SYSTEM;
}

template <typename T>
HRESULT SyncRootRegistrar::statics(const wchar_t* class_name, REFIID iid, ComPtr<T>& cache, ComPtr<T>& out) {
    std::lock_guard<std::mutex> lock(statics_mutex_);
    if (!cache) {
        ComPtr<T> obtained;
        const HRESULT hr =
            fresh([&] { return activation_.get_activation_factory(class_name, iid, obtained.out_void()); });
        if (FAILED(hr)) return hr;
        if (!obtained) return E_POINTER;
        cache = obtained;
    }
    out = cache;
    return S_OK;
}

PlatformError SyncRootRegistrar::register_sync_root(const SyncRootRegistration& registration) {
    // The record.
    ComPtr<IInspectable> instance;
    HRESULT hr = fresh([&] { return activation_.activate_instance(rt::CLASS_SYNC_ROOT_INFO, instance.out()); });
    if (FAILED(hr)) return failure(hr);
    if (!instance) return {E_POINTER, nullptr};
    ComPtr<rt::IStorageProviderSyncRootInfo> info;
    hr = fresh([&] { return instance->QueryInterface(rt::IID_IStorageProviderSyncRootInfo, info.out_void()); });
    if (FAILED(hr)) return failure(hr);
    if (!info) return {E_POINTER, nullptr};

    HString id;
    if (FAILED(hr = fresh([&] { return id.assign(registration.id); }))) return failure(hr);
    if (FAILED(hr = fresh([&] { return info->put_Id(id.get()); }))) return failure(hr);

    // The folder: GetFolderFromPathAsync, waited for without a time limit.
    ComPtr<rt::IStorageFolderStatics> folders;
    if (FAILED(hr = statics(rt::CLASS_STORAGE_FOLDER, rt::IID_IStorageFolderStatics, folders_, folders)))
        return failure(hr);
    HString path;
    if (FAILED(hr = fresh([&] { return path.assign(registration.path); }))) return failure(hr);
    ComPtr<rt::IAsyncOperation_StorageFolder> operation;
    if (FAILED(hr = fresh([&] { return folders->GetFolderFromPathAsync(path.get(), operation.out()); })))
        return failure(hr);
    if (!operation) return {E_POINTER, nullptr};
    ComPtr<FolderLookupCompletion> completion;
    if (FAILED(hr = FolderLookupCompletion::create(completion))) return {hr, nullptr};
    if (FAILED(hr = fresh([&] { return operation->put_Completed(completion.get()); }))) return failure(hr);
    completion->wait();
    ComPtr<rt::IStorageFolder> result;
    if (FAILED(hr = fresh([&] { return operation->GetResults(result.out()); }))) return failure(hr);
    if (!result) return {E_POINTER, nullptr};
    ComPtr<rt::IStorageFolder> folder;
    if (FAILED(hr = fresh([&] { return result->QueryInterface(rt::IID_IStorageFolder, folder.out_void()); })))
        return failure(hr);
    if (!folder) return {E_POINTER, nullptr};
    if (FAILED(hr = fresh([&] { return info->put_Path(folder.get()); }))) return failure(hr);

    HString name;
    if (FAILED(hr = fresh([&] { return name.assign(registration.display_name_resource); }))) return failure(hr);
    if (FAILED(hr = fresh([&] { return info->put_DisplayNameResource(name.get()); }))) return failure(hr);
    HString icon;
    if (FAILED(hr = fresh([&] { return icon.assign(registration.icon_resource); }))) return failure(hr);
    if (FAILED(hr = fresh([&] { return info->put_IconResource(icon.get()); }))) return failure(hr);

    if (FAILED(hr = fresh([&] { return info->put_HydrationPolicy(registration.hydration_policy); }))) return failure(hr);
    if (FAILED(hr = fresh([&] { return info->put_HydrationPolicyModifier(registration.hydration_policy_modifier); })))
        return failure(hr);
    if (FAILED(hr = fresh([&] { return info->put_PopulationPolicy(registration.population_policy); })))
        return failure(hr);
    if (FAILED(hr = fresh([&] { return info->put_InSyncPolicy(registration.in_sync_policy); }))) return failure(hr);
    if (FAILED(hr = fresh([&] { return info->put_HardlinkPolicy(registration.hardlink_policy); }))) return failure(hr);
    if (FAILED(hr = fresh([&] { return info->put_ShowSiblingsAsGroup(registration.show_siblings_as_group ? TRUE : FALSE); })))
        return failure(hr);

    HString version;
    if (FAILED(hr = fresh([&] { return version.assign(registration.version); }))) return failure(hr);
    if (FAILED(hr = fresh([&] { return info->put_Version(version.get()); }))) return failure(hr);

    // The context bytes, as an IBuffer.
    ComPtr<rt::ICryptographicBufferStatics> buffers;
    if (FAILED(hr = statics(rt::CLASS_CRYPTOGRAPHIC_BUFFER, rt::IID_ICryptographicBufferStatics, buffers_, buffers)))
        return failure(hr);
    ComPtr<rt::IBuffer> context;
    if (FAILED(hr = fresh([&] {
            return buffers->CreateFromByteArray(registration.context_length, const_cast<BYTE*>(registration.context),
                                                context.out());
        })))
        return failure(hr);
    if (FAILED(hr = fresh([&] { return info->put_Context(context.get()); }))) return failure(hr);

    ComPtr<rt::IStorageProviderSyncRootManagerStatics> manager;
    if (FAILED(hr = statics(rt::CLASS_SYNC_ROOT_MANAGER, rt::IID_IStorageProviderSyncRootManagerStatics, manager_,
                            manager)))
        return failure(hr);
    if (FAILED(hr = fresh([&] { return manager->Register(info.get()); }))) return failure(hr);
    return {S_OK, nullptr};
}

PlatformError SyncRootRegistrar::unregister_sync_root(std::u16string_view id) {
    ComPtr<rt::IStorageProviderSyncRootManagerStatics> manager;
    HRESULT hr = statics(rt::CLASS_SYNC_ROOT_MANAGER, rt::IID_IStorageProviderSyncRootManagerStatics, manager_, manager);
    if (FAILED(hr)) return failure(hr);
    HString text;
    if (FAILED(hr = fresh([&] { return text.assign(id); }))) return failure(hr);
    if (FAILED(hr = fresh([&] { return manager->Unregister(text.get()); }))) return failure(hr);
    return {S_OK, nullptr};
}

}  // namespace zcf::windows
