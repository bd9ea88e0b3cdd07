// "hydrate": brings a whole placeholder onto the disk on a detached worker thread. The content
// arrives through this process's own fetch callbacks and the parent's "data" answers, which the
// main thread goes on reading meanwhile; the worker writes the request's only answer at the end.
#include "common/args.h"
#include "common/open.h"
#include "hydration/hydration.h"
#include "common/emitter.h"
#include "platform/platform.h"

#include <boost/json/object.hpp>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

namespace zcf {

namespace json = boost::json;

namespace {

constexpr std::uint32_t HYDRATE_ACCESS = access::FILE_READ_DATA | access::FILE_READ_ATTRIBUTES;

// The late answer: response-shaped, but a failure carries no "code".
void answer(json::value seq, const std::optional<PlatformError>& error) {
    json::object late;
    late["seq"] = std::move(seq);
    if (error) {
        late["ok"] = false;
        late["error"] = error_message_text(*error);
    } else {
        late["ok"] = true;
        late["result"] = json::object();
    }
    emit(std::move(late));
}

void hydrate_worker(std::string path, json::value seq) {
    Expected<FileHandle> file = open(path, HYDRATE_ACCESS);
    if (!file.ok()) {
        answer(std::move(seq), std::move(file.error()));
        return;
    }
    // Synchronous: returns when the file is wholly local or the hydration failed.
    const Hresult result = platform().hydrate_placeholder(file.value().get(), 0, CF_EOF_LENGTH, 0);
    std::optional<PlatformError> error;
    if (result < 0) error = error_from_hresult(result);
    file.value().reset();  // a failed close changes nothing
    answer(std::move(seq), error);
}

}  // namespace

Outcome cmd_hydrate(const json::value& request) {
    std::string path(text_arg(request, "path"));
    json::value seq = seq_of(request);
    try {
        std::thread(hydrate_worker, std::move(path), std::move(seq)).detach();
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "failed to spawn thread: %s\n", e.what());
        std::abort();
    }
    // The main loop sends nothing for this result; the worker's late answer is the response.
    json::object result;
    result["async"] = true;
    return json::value(std::move(result));
}

}  // namespace zcf
