// The system's Windows Runtime as Wine provides it: the platform's activation path reaches the real
// runtime, which has no storage-provider classes.
#include "platform/windows/sync_root_registrar.h"

#include <roapi.h>

#include <gtest/gtest.h>

namespace zcf::windows {
namespace {

TEST(SystemRuntime, MissingClassesAnswerClassNotRegistered) {
    RoInitialize(RO_INIT_MULTITHREADED);
    ComPtr<IInspectable> instance;
    EXPECT_EQ(system_runtime_activation().activate_instance(rt::CLASS_SYNC_ROOT_INFO, instance.out()),
              REGDB_E_CLASSNOTREG);
    ComPtr<rt::IStorageProviderSyncRootManagerStatics> manager;
    EXPECT_EQ(system_runtime_activation().get_activation_factory(
                  rt::CLASS_SYNC_ROOT_MANAGER, rt::IID_IStorageProviderSyncRootManagerStatics, manager.out_void()),
              REGDB_E_CLASSNOTREG);
}

}  // namespace
}  // namespace zcf::windows
