// Sync-root registration against fake Windows Runtime factories and objects: the exact order of
// the calls and the values they receive, the stop at the first failing call with the error
// information it left, the release of every object on every path, and the cached factories.
#include "fake_com.h"

#include "platform/windows/sync_root_registrar.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace zcf::windows::testing {
namespace {

// What the fakes do and what they saw.
struct Plan {
    std::vector<std::string> journal;
    std::string fail_step;  // the step (name before ':') that fails
    HRESULT fail_code = E_FAIL;
    bool leave_error_info = true;
    bool stale_after_success = false;  // a call that succeeds leaves an error object all the same
    bool complete_synchronously = false;
    bool folder_query_empty = false;  // the folder answers its QueryInterface with S_OK and null
    std::atomic<int> completion_threads{0};
    bool handler_agile = false;
    bool registered_same_record = false;
    IInspectable* record = nullptr;
    rt::IStorageFolder* folder = nullptr;

    HRESULT step(const std::string& name) {
        journal.push_back(name);
        if (fail_step.empty() || (name != fail_step && name.substr(0, name.find(':')) != fail_step)) {
            if (stale_after_success) leave_stale_error_info();
            return S_OK;
        }
        if (leave_error_info) {
            FakeErrorInfo::Texts texts;
            texts.description = L"failed at " + std::wstring(fail_step.begin(), fail_step.end());
            auto* info = new FakeErrorInfo(texts);
            SetErrorInfo(0, info);
            info->Release();
        }
        return fail_code;
    }

    static void leave_stale_error_info() {
        FakeErrorInfo::Texts texts;
        texts.description = L"stale";
        auto* info = new FakeErrorInfo(texts);
        SetErrorInfo(0, info);
        info->Release();
    }
};

class FakeBuffer final : public rt::IBuffer, public FakeCounted {
public:
    explicit FakeBuffer(std::string bytes) : bytes(std::move(bytes)) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid == rt::IID_IUnknown_ || iid == rt::IID_IInspectable_ || iid == rt::IID_IBuffer) {
            *object = static_cast<rt::IBuffer*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ZCF_FAKE_INSPECTABLE
    HRESULT STDMETHODCALLTYPE get_Capacity(UINT32* value) override {
        *value = static_cast<UINT32>(bytes.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Length(UINT32* value) override {
        *value = static_cast<UINT32>(bytes.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Length(UINT32) override { return E_NOTIMPL; }
    std::string bytes;
};

class FakeFolder final : public rt::IStorageFolder, public FakeCounted {
public:
    explicit FakeFolder(Plan& plan) : plan_(plan) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        *object = nullptr;
        if (iid == rt::IID_IStorageFolder) {
            if (const HRESULT hr = plan_.step("QueryInterface:IStorageFolder"); FAILED(hr)) return hr;
            if (plan_.folder_query_empty) return S_OK;
        } else if (iid != rt::IID_IUnknown_ && iid != rt::IID_IInspectable_) {
            return E_NOINTERFACE;
        }
        *object = static_cast<rt::IStorageFolder*>(this);
        AddRef();
        return S_OK;
    }
    ZCF_FAKE_INSPECTABLE

private:
    Plan& plan_;
};

class FakeFolderLookup final : public rt::IAsyncOperation_StorageFolder, public FakeCounted {
public:
    explicit FakeFolderLookup(Plan& plan) : plan_(plan) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid == rt::IID_IUnknown_ || iid == rt::IID_IInspectable_ || iid == rt::IID_IAsyncOperation_StorageFolder) {
            *object = static_cast<rt::IAsyncOperation_StorageFolder*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ZCF_FAKE_INSPECTABLE
    HRESULT STDMETHODCALLTYPE put_Completed(rt::AsyncOperationCompletedHandler_StorageFolder* handler) override {
        if (const HRESULT hr = plan_.step("put_Completed"); FAILED(hr)) return hr;
        // The runtime requires an agile handler (it calls it from its own thread).
        IUnknown* agile = nullptr;
        plan_.handler_agile = SUCCEEDED(handler->QueryInterface(rt::IID_IAgileObject_, reinterpret_cast<void**>(&agile)));
        if (agile != nullptr) agile->Release();
        if (plan_.complete_synchronously) return handler->Invoke(this, rt::ASYNC_COMPLETED);
        handler->AddRef();
        AddRef();
        ++plan_.completion_threads;
        std::thread([this, handler] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            handler->Invoke(this, rt::ASYNC_COMPLETED);
            handler->Release();
            Plan& plan = plan_;
            Release();
            --plan.completion_threads;
        }).detach();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Completed(rt::AsyncOperationCompletedHandler_StorageFolder**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetResults(rt::IStorageFolder** folder) override {
        *folder = nullptr;
        if (const HRESULT hr = plan_.step("GetResults"); FAILED(hr)) return hr;
        auto* result = new FakeFolder(plan_);
        plan_.folder = result;
        *folder = result;
        return S_OK;
    }

private:
    Plan& plan_;
};

class FakeFolderStatics final : public rt::IStorageFolderStatics, public FakeCounted {
public:
    explicit FakeFolderStatics(Plan& plan) : plan_(plan) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ZCF_FAKE_INSPECTABLE
    HRESULT STDMETHODCALLTYPE GetFolderFromPathAsync(HSTRING path, rt::IAsyncOperation_StorageFolder** operation) override {
        *operation = nullptr;
        if (const HRESULT hr = plan_.step("GetFolderFromPathAsync:" + hstring_text(path)); FAILED(hr)) return hr;
        *operation = new FakeFolderLookup(plan_);
        return S_OK;
    }

private:
    Plan& plan_;
};

class FakeBufferStatics final : public rt::ICryptographicBufferStatics, public FakeCounted {
public:
    explicit FakeBufferStatics(Plan& plan) : plan_(plan) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ZCF_FAKE_INSPECTABLE
    HRESULT STDMETHODCALLTYPE Compare(rt::IBuffer*, rt::IBuffer*, boolean*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GenerateRandom(UINT32, rt::IBuffer**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GenerateRandomNumber(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateFromByteArray(UINT32 length, BYTE* value, rt::IBuffer** buffer) override {
        *buffer = nullptr;
        const std::string bytes(reinterpret_cast<const char*>(value), length);
        if (const HRESULT hr = plan_.step("CreateFromByteArray:" + bytes); FAILED(hr)) return hr;
        *buffer = new FakeBuffer(bytes);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CopyToByteArray(rt::IBuffer*, UINT32*, BYTE**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DecodeFromHexString(HSTRING, rt::IBuffer**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EncodeToHexString(rt::IBuffer*, HSTRING*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DecodeFromBase64String(HSTRING, rt::IBuffer**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EncodeToBase64String(rt::IBuffer*, HSTRING*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ConvertStringToBinary(HSTRING, INT32, rt::IBuffer**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ConvertBinaryToString(INT32, rt::IBuffer*, HSTRING*) override { return E_NOTIMPL; }

private:
    Plan& plan_;
};

class FakeManagerStatics final : public rt::IStorageProviderSyncRootManagerStatics, public FakeCounted {
public:
    explicit FakeManagerStatics(Plan& plan) : plan_(plan) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ZCF_FAKE_INSPECTABLE
    HRESULT STDMETHODCALLTYPE Register(rt::IStorageProviderSyncRootInfo* info) override {
        plan_.registered_same_record = static_cast<IInspectable*>(info) == plan_.record;
        return plan_.step("Register");
    }
    HRESULT STDMETHODCALLTYPE Unregister(HSTRING id) override { return plan_.step("Unregister:" + hstring_text(id)); }
    HRESULT STDMETHODCALLTYPE GetSyncRootInformationForFolder(rt::IStorageFolder*,
                                                              rt::IStorageProviderSyncRootInfo**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetSyncRootInformationForId(HSTRING, rt::IStorageProviderSyncRootInfo**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetCurrentSyncRoots(IInspectable**) override { return E_NOTIMPL; }

private:
    Plan& plan_;
};

class FakeSyncRootInfo final : public rt::IStorageProviderSyncRootInfo, public FakeCounted {
public:
    explicit FakeSyncRootInfo(Plan& plan) : plan_(plan) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        *object = nullptr;
        if (iid == rt::IID_IStorageProviderSyncRootInfo) {
            if (const HRESULT hr = plan_.step("QueryInterface:IStorageProviderSyncRootInfo"); FAILED(hr)) return hr;
        } else if (iid != rt::IID_IUnknown_ && iid != rt::IID_IInspectable_) {
            return E_NOINTERFACE;
        }
        *object = static_cast<rt::IStorageProviderSyncRootInfo*>(this);
        AddRef();
        return S_OK;
    }
    ZCF_FAKE_INSPECTABLE
    HRESULT STDMETHODCALLTYPE get_Id(HSTRING*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Id(HSTRING value) override { return plan_.step("put_Id:" + hstring_text(value)); }
    HRESULT STDMETHODCALLTYPE get_Context(rt::IBuffer**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Context(rt::IBuffer* value) override {
        return plan_.step("put_Context:" + (value ? static_cast<FakeBuffer*>(value)->bytes : std::string("(null)")));
    }
    HRESULT STDMETHODCALLTYPE get_Path(rt::IStorageFolder**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Path(rt::IStorageFolder* value) override {
        return plan_.step(value != nullptr && value == plan_.folder ? "put_Path:folder" : "put_Path:other");
    }
    HRESULT STDMETHODCALLTYPE get_DisplayNameResource(HSTRING*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_DisplayNameResource(HSTRING value) override {
        return plan_.step("put_DisplayNameResource:" + hstring_text(value));
    }
    HRESULT STDMETHODCALLTYPE get_IconResource(HSTRING*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_IconResource(HSTRING value) override {
        return plan_.step("put_IconResource:" + hstring_text(value));
    }
    HRESULT STDMETHODCALLTYPE get_HydrationPolicy(INT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_HydrationPolicy(INT32 value) override {
        return plan_.step("put_HydrationPolicy:" + std::to_string(value));
    }
    HRESULT STDMETHODCALLTYPE get_HydrationPolicyModifier(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_HydrationPolicyModifier(UINT32 value) override {
        return plan_.step("put_HydrationPolicyModifier:" + std::to_string(value));
    }
    HRESULT STDMETHODCALLTYPE get_PopulationPolicy(INT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_PopulationPolicy(INT32 value) override {
        return plan_.step("put_PopulationPolicy:" + std::to_string(value));
    }
    HRESULT STDMETHODCALLTYPE get_InSyncPolicy(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_InSyncPolicy(UINT32 value) override {
        return plan_.step("put_InSyncPolicy:" + std::to_string(value));
    }
    HRESULT STDMETHODCALLTYPE get_HardlinkPolicy(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_HardlinkPolicy(UINT32 value) override {
        return plan_.step("put_HardlinkPolicy:" + std::to_string(value));
    }
    HRESULT STDMETHODCALLTYPE get_ShowSiblingsAsGroup(boolean*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_ShowSiblingsAsGroup(boolean value) override {
        return plan_.step("put_ShowSiblingsAsGroup:" + std::to_string(value));
    }
    HRESULT STDMETHODCALLTYPE get_Version(HSTRING*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Version(HSTRING value) override { return plan_.step("put_Version:" + hstring_text(value)); }
    HRESULT STDMETHODCALLTYPE get_ProtectionMode(INT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_ProtectionMode(INT32) override { return plan_.step("put_ProtectionMode"); }
    HRESULT STDMETHODCALLTYPE get_AllowPinning(boolean*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_AllowPinning(boolean) override { return plan_.step("put_AllowPinning"); }
    HRESULT STDMETHODCALLTYPE get_StorageProviderItemPropertyDefinitions(IInspectable**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_RecycleBinUri(IInspectable**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_RecycleBinUri(IInspectable*) override { return plan_.step("put_RecycleBinUri"); }

private:
    Plan& plan_;
};

// The fake runtime: class activation and activation factories by class name.
class FakeRuntime final : public RuntimeActivation {
public:
    explicit FakeRuntime(Plan& plan) : plan_(plan) {}
    HRESULT activate_instance(const wchar_t* class_name, IInspectable** instance) override {
        *instance = nullptr;
        if (const HRESULT hr = plan_.step("activate:" + narrow(class_name)); FAILED(hr)) return hr;
        if (std::wstring(class_name) != rt::CLASS_SYNC_ROOT_INFO) return REGDB_E_CLASSNOTREG;
        auto* record = new FakeSyncRootInfo(plan_);
        plan_.record = record;
        *instance = record;
        return S_OK;
    }
    HRESULT get_activation_factory(const wchar_t* class_name, REFIID iid, void** factory) override {
        *factory = nullptr;
        const std::wstring name = class_name;
        if (const HRESULT hr = plan_.step("factory:" + narrow(class_name)); FAILED(hr)) return hr;
        if (name == rt::CLASS_STORAGE_FOLDER && iid == rt::IID_IStorageFolderStatics) {
            *factory = static_cast<rt::IStorageFolderStatics*>(new FakeFolderStatics(plan_));
        } else if (name == rt::CLASS_CRYPTOGRAPHIC_BUFFER && iid == rt::IID_ICryptographicBufferStatics) {
            *factory = static_cast<rt::ICryptographicBufferStatics*>(new FakeBufferStatics(plan_));
        } else if (name == rt::CLASS_SYNC_ROOT_MANAGER && iid == rt::IID_IStorageProviderSyncRootManagerStatics) {
            *factory = static_cast<rt::IStorageProviderSyncRootManagerStatics*>(new FakeManagerStatics(plan_));
        } else {
            return E_NOINTERFACE;
        }
        return S_OK;
    }

private:
    static std::string narrow(const wchar_t* text) {
        std::string out;
        for (; *text != 0; ++text) out += static_cast<char>(*text);
        return out;
    }
    Plan& plan_;
};

const std::uint8_t CONTEXT[] = {'z', 'e', 'm', 'b', 'r', 'a'};

SyncRootRegistration registration() {
    return SyncRootRegistration{u"Zembra!S-1-5-21!acct",
                                u"C:\\Users\\me\\Zembra",
                                u"Zembra Sync",
                                u"%SystemRoot%\\system32\\imageres.dll,-1043",
                                1,
                                4,
                                2,
                                0x80000000u,
                                0,
                                false,
                                u"1",
                                CONTEXT,
                                sizeof CONTEXT};
}

const std::vector<std::string> FULL_SEQUENCE = {
    "activate:Windows.Storage.Provider.StorageProviderSyncRootInfo",
    "QueryInterface:IStorageProviderSyncRootInfo",
    "put_Id:Zembra!S-1-5-21!acct",
    "factory:Windows.Storage.StorageFolder",
    "GetFolderFromPathAsync:C:\\Users\\me\\Zembra",
    "put_Completed",
    "GetResults",
    "QueryInterface:IStorageFolder",
    "put_Path:folder",
    "put_DisplayNameResource:Zembra Sync",
    "put_IconResource:%SystemRoot%\\system32\\imageres.dll,-1043",
    "put_HydrationPolicy:1",
    "put_HydrationPolicyModifier:4",
    "put_PopulationPolicy:2",
    "put_InSyncPolicy:2147483648",
    "put_HardlinkPolicy:0",
    "put_ShowSiblingsAsGroup:0",
    "put_Version:1",
    "factory:Windows.Security.Cryptography.CryptographicBuffer",
    "CreateFromByteArray:zembra",
    "put_Context:zembra",
    "factory:Windows.Storage.Provider.StorageProviderSyncRootManager",
    "Register",
};

class SyncRootRegistrarTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetErrorInfo(0, nullptr);
        ASSERT_EQ(LIVE_FAKES.load(), 0);
    }
    // Waits for the fake lookup's completion threads, which hold references until they end.
    static void settle(Plan& plan) {
        for (int i = 0; i < 400 && plan.completion_threads.load() != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(plan.completion_threads.load(), 0);
    }
};

TEST_F(SyncRootRegistrarTest, FillsTheRecordInOrderAndRegistersIt) {
    for (const bool synchronous : {false, true}) {
        Plan plan;
        plan.complete_synchronously = synchronous;
        {
            FakeRuntime runtime(plan);
            SyncRootRegistrar registrar(runtime);
            const PlatformError status = registrar.register_sync_root(registration());
            EXPECT_EQ(status.code, S_OK);
            EXPECT_EQ(status.info, nullptr);
            EXPECT_EQ(plan.journal, FULL_SEQUENCE);
            EXPECT_TRUE(plan.handler_agile);
            EXPECT_TRUE(plan.registered_same_record);
            settle(plan);
            // Only the three kept factories outlive the call.
            EXPECT_EQ(LIVE_FAKES.load(), 3);
        }
        EXPECT_EQ(LIVE_FAKES.load(), 0);
    }
}

TEST_F(SyncRootRegistrarTest, PassesTheValuesItIsGiven) {
    Plan plan;
    SyncRootRegistration values = registration();
    values.id = u"";
    values.display_name_resource = u"Caf\u00e9";
    values.hydration_policy = 2;
    values.population_policy = 1;  // Full: folders filled on demand
    values.show_siblings_as_group = true;
    const std::uint8_t context[] = {0, 1, 0xFF};
    values.context = context;
    values.context_length = sizeof context;
    {
        FakeRuntime runtime(plan);
            SyncRootRegistrar registrar(runtime);
        EXPECT_EQ(registrar.register_sync_root(values).code, S_OK);
        settle(plan);
    }
    ASSERT_EQ(plan.journal.size(), FULL_SEQUENCE.size());
    EXPECT_EQ(plan.journal[2], "put_Id:");
    EXPECT_EQ(plan.journal[9], "put_DisplayNameResource:Caf\xc3\xa9");
    EXPECT_EQ(plan.journal[11], "put_HydrationPolicy:2");
    EXPECT_EQ(plan.journal[13], "put_PopulationPolicy:1");
    EXPECT_EQ(plan.journal[16], "put_ShowSiblingsAsGroup:1");
    EXPECT_EQ(plan.journal[19], std::string("CreateFromByteArray:") + std::string("\0\1\xff", 3));
    EXPECT_EQ(plan.journal[20], std::string("put_Context:") + std::string("\0\1\xff", 3));
}

TEST_F(SyncRootRegistrarTest, TextsBecomeStringsOfTheirWholeLength) {
    using namespace std::literals;
    Plan plan;
    SyncRootRegistration values = registration();
    values.id = u"a\0b"sv;
    values.path = u"C:\\r\0s"sv;
    values.display_name_resource = u"n\0"sv;
    values.icon_resource = u"\0i"sv;
    values.version = u"1\0" u"2"sv;
    {
        FakeRuntime runtime(plan);
        SyncRootRegistrar registrar(runtime);
        EXPECT_EQ(registrar.register_sync_root(values).code, S_OK);
        EXPECT_EQ(registrar.unregister_sync_root(u"x\0y"sv).code, S_OK);
        settle(plan);
    }
    ASSERT_EQ(plan.journal.size(), FULL_SEQUENCE.size() + 1);
    EXPECT_EQ(plan.journal[2], "put_Id:a\0b"s);
    EXPECT_EQ(plan.journal[4], "GetFolderFromPathAsync:C:\\r\0s"s);
    EXPECT_EQ(plan.journal[9], "put_DisplayNameResource:n\0"s);
    EXPECT_EQ(plan.journal[10], "put_IconResource:\0i"s);
    EXPECT_EQ(plan.journal[17], "put_Version:1\0" "2"s);
    EXPECT_EQ(plan.journal.back(), "Unregister:x\0y"s);
}

TEST_F(SyncRootRegistrarTest, StopsAtEachFailingCallWithItsErrorInformation) {
    for (std::size_t failing = 0; failing < FULL_SEQUENCE.size(); ++failing) {
        const std::string& step = FULL_SEQUENCE[failing];
        SCOPED_TRACE(FULL_SEQUENCE[failing]);
        Plan plan;
        plan.fail_step = step;
        plan.fail_code = static_cast<HRESULT>(0x80070000u + static_cast<unsigned>(failing) + 1);
        {
            FakeRuntime runtime(plan);
            SyncRootRegistrar registrar(runtime);
            const PlatformError status = registrar.register_sync_root(registration());
            EXPECT_EQ(status.code, plan.fail_code);
            ASSERT_NE(status.info, nullptr);
            EXPECT_EQ(status.info->description(), u"failed at " + std::u16string(step.begin(), step.end()));
            const std::vector<std::string> expected(FULL_SEQUENCE.begin(),
                                                    FULL_SEQUENCE.begin() + static_cast<std::ptrdiff_t>(failing) + 1);
            EXPECT_EQ(plan.journal, expected);
        }
        settle(plan);
        EXPECT_EQ(LIVE_FAKES.load(), 0);
    }
}

TEST_F(SyncRootRegistrarTest, FailureWithoutErrorInformationCarriesNone) {
    Plan plan;
    plan.fail_step = "GetResults";
    plan.fail_code = static_cast<HRESULT>(0x80070002u);
    plan.leave_error_info = false;
    {
        FakeRuntime runtime(plan);
            SyncRootRegistrar registrar(runtime);
        const PlatformError status = registrar.register_sync_root(registration());
        EXPECT_EQ(status.code, static_cast<HRESULT>(0x80070002u));
        EXPECT_EQ(status.info, nullptr);
    }
    settle(plan);
    EXPECT_EQ(LIVE_FAKES.load(), 0);
}

TEST_F(SyncRootRegistrarTest, AnErrorObjectLeftBeforeAFailingCallNeverDescribesItsFailure) {
    for (std::size_t failing = 0; failing < FULL_SEQUENCE.size(); ++failing) {
        SCOPED_TRACE(FULL_SEQUENCE[failing]);
        Plan plan;
        plan.fail_step = FULL_SEQUENCE[failing];
        plan.fail_code = static_cast<HRESULT>(0x80070002u);
        plan.leave_error_info = false;
        plan.stale_after_success = true;
        {
            FakeRuntime runtime(plan);
            SyncRootRegistrar registrar(runtime);
            Plan::leave_stale_error_info();
            const PlatformError status = registrar.register_sync_root(registration());
            EXPECT_EQ(status.code, plan.fail_code);
            EXPECT_EQ(status.info, nullptr);
        }
        settle(plan);
    }
    Plan plan;
    plan.fail_step = "Unregister";
    plan.leave_error_info = false;
    plan.stale_after_success = true;
    {
        FakeRuntime runtime(plan);
        SyncRootRegistrar registrar(runtime);
        Plan::leave_stale_error_info();
        EXPECT_EQ(registrar.unregister_sync_root(u"a").info, nullptr);
    }
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(LIVE_FAKES.load(), 0);
}

TEST_F(SyncRootRegistrarTest, AnEmptyFolderAnswerIsAnInvalidPointer) {
    Plan plan;
    plan.folder_query_empty = true;
    {
        FakeRuntime runtime(plan);
            SyncRootRegistrar registrar(runtime);
        const PlatformError status = registrar.register_sync_root(registration());
        EXPECT_EQ(status.code, E_POINTER);
        EXPECT_EQ(plan.journal.back(), "QueryInterface:IStorageFolder");
    }
    settle(plan);
    EXPECT_EQ(LIVE_FAKES.load(), 0);
}

TEST_F(SyncRootRegistrarTest, KeepsEachFactoryOnceObtained) {
    Plan plan;
    {
        FakeRuntime runtime(plan);
            SyncRootRegistrar registrar(runtime);
        EXPECT_EQ(registrar.register_sync_root(registration()).code, S_OK);
        EXPECT_EQ(registrar.register_sync_root(registration()).code, S_OK);
        EXPECT_EQ(registrar.unregister_sync_root(u"Zembra!S-1-5-21!acct").code, S_OK);
        settle(plan);
    }
    int factories = 0;
    for (const std::string& call : plan.journal) factories += call.rfind("factory:", 0) == 0 ? 1 : 0;
    EXPECT_EQ(factories, 3);
    EXPECT_EQ(plan.journal.back(), "Unregister:Zembra!S-1-5-21!acct");
    EXPECT_EQ(LIVE_FAKES.load(), 0);
}

TEST_F(SyncRootRegistrarTest, AFactoryThatFailsIsAskedForAgainNextTime) {
    Plan plan;
    plan.fail_step = "factory";
    {
        FakeRuntime runtime(plan);
            SyncRootRegistrar registrar(runtime);
        EXPECT_EQ(registrar.unregister_sync_root(u"a").code, E_FAIL);
        plan.fail_step.clear();
        EXPECT_EQ(registrar.unregister_sync_root(u"a").code, S_OK);
    }
    EXPECT_EQ(plan.journal, (std::vector<std::string>{"factory:Windows.Storage.Provider.StorageProviderSyncRootManager",
                                                      "factory:Windows.Storage.Provider.StorageProviderSyncRootManager",
                                                      "Unregister:a"}));
    EXPECT_EQ(LIVE_FAKES.load(), 0);
}

TEST_F(SyncRootRegistrarTest, UnregisterReturnsTheRuntimesError) {
    Plan plan;
    plan.fail_step = "Unregister";
    plan.fail_code = static_cast<HRESULT>(0x80070490u);
    {
        FakeRuntime runtime(plan);
            SyncRootRegistrar registrar(runtime);
        const PlatformError status = registrar.unregister_sync_root(u"missing");
        EXPECT_EQ(status.code, static_cast<HRESULT>(0x80070490u));
        ASSERT_NE(status.info, nullptr);
        EXPECT_EQ(status.info->description(), u"failed at Unregister");
    }
    EXPECT_EQ(LIVE_FAKES.load(), 0);
}

}  // namespace
}  // namespace zcf::windows::testing
