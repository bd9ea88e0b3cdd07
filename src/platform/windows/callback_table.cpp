// platform/windows: callback trampolines from Cloud Files to the core's callback functions.
#include "platform/windows/callback_table.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <utility>
#include <vector>

namespace zcf::windows {

namespace {

inline constexpr std::size_t CALLBACK_TYPE_COUNT = cf::CF_CALLBACK_TYPE_NOTIFY_RENAME_COMPLETION + 1;

// The core function currently registered for each callback type.
std::array<std::atomic<CallbackFunction>, CALLBACK_TYPE_COUNT> CORE_CALLBACKS{};

template <std::size_t Type>
void CALLBACK trampoline(const cf::CF_CALLBACK_INFO* native_info, const cf::CF_CALLBACK_PARAMETERS* native_parameters) {
    const CallbackFunction core = CORE_CALLBACKS[Type].load(std::memory_order_acquire);
    if (core == nullptr || native_info == nullptr) return;

    ProcessInfo process;
    CallbackInfo info;
    info.connection_key = native_info->ConnectionKey.Internal;
    info.file_size = native_info->FileSize.QuadPart;
    info.file_identity = native_info->FileIdentity;
    info.file_identity_length = native_info->FileIdentityLength;
    info.normalized_path = reinterpret_cast<const char16_t*>(native_info->NormalizedPath);
    info.transfer_key = native_info->TransferKey.QuadPart;
    info.request_key = native_info->RequestKey.QuadPart;
    if (native_info->ProcessInfo != nullptr) {
        process.process_id = native_info->ProcessInfo->ProcessId;
        process.image_path = reinterpret_cast<const char16_t*>(native_info->ProcessInfo->ImagePath);
        info.process_info = &process;
    }

    CallbackParameters parameters;
    if (native_parameters != nullptr) {
        if constexpr (Type == cf::CF_CALLBACK_TYPE_FETCH_DATA) {
            parameters.required_file_offset = native_parameters->FetchData.RequiredFileOffset.QuadPart;
            parameters.required_length = native_parameters->FetchData.RequiredLength.QuadPart;
        } else if constexpr (Type == cf::CF_CALLBACK_TYPE_FETCH_PLACEHOLDERS) {
            parameters.flags = native_parameters->FetchPlaceholders.Flags;
            parameters.pattern = reinterpret_cast<const char16_t*>(native_parameters->FetchPlaceholders.Pattern);
        } else if constexpr (Type == cf::CF_CALLBACK_TYPE_CANCEL_FETCH_DATA ||
                             Type == cf::CF_CALLBACK_TYPE_CANCEL_FETCH_PLACEHOLDERS) {
            parameters.flags = native_parameters->Cancel.Flags;
        } else if constexpr (Type == cf::CF_CALLBACK_TYPE_NOTIFY_DELETE) {
            parameters.flags = native_parameters->Delete.Flags;
        } else if constexpr (Type == cf::CF_CALLBACK_TYPE_NOTIFY_RENAME) {
            parameters.flags = native_parameters->Rename.Flags;
            parameters.target_path = reinterpret_cast<const char16_t*>(native_parameters->Rename.TargetPath);
        }
    }
    // The caller is the platform's C code: an exception must end here, whatever the core let out.
    try {
        core(&info, &parameters);
    } catch (...) {
    }
}

template <std::size_t... Types>
constexpr std::array<cf::CF_CALLBACK, sizeof...(Types)> make_trampolines(std::index_sequence<Types...>) {
    return {&trampoline<Types>...};
}

constexpr std::array<cf::CF_CALLBACK, CALLBACK_TYPE_COUNT> TRAMPOLINES =
    make_trampolines(std::make_index_sequence<CALLBACK_TYPE_COUNT>{});

}  // namespace

const cf::CF_CALLBACK_REGISTRATION* build_callback_table(const CallbackRegistration* table) {
    std::vector<CallbackRegistration> entries;
    for (const CallbackRegistration* entry = table; entry != nullptr && entry->type != callback_type::NONE; ++entry) {
        if (entry->type >= CALLBACK_TYPE_COUNT) return nullptr;
        entries.push_back(*entry);
    }
    auto* native = new cf::CF_CALLBACK_REGISTRATION[entries.size() + 1];
    for (std::size_t i = 0; i < entries.size(); ++i) {
        CORE_CALLBACKS[entries[i].type].store(entries[i].callback, std::memory_order_release);
        native[i] = {entries[i].type, TRAMPOLINES[entries[i].type]};
    }
    native[entries.size()] = {cf::CF_CALLBACK_TYPE_NONE, nullptr};
    return native;
}

}  // namespace zcf::windows
