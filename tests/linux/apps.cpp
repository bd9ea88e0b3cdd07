// Applications of other processes, for the Linux platform's tests: open streams that read
// placeholders through the road of a read.
#include "linux/apps.h"

#include "platform/linux/cloud/engine.h"

namespace zcf::linux_platform {

struct AppStream {
    std::shared_ptr<OpenFile> file;
    StreamIdentity identity;
};

AppFile::~AppFile() = default;

void AppFile::close() { stream_.reset(); }

AppReadResult AppFile::read(std::int64_t offset, std::int64_t length) const {
    AppReadResult result;
    const std::shared_ptr<AppStream> stream = stream_;
    if (!stream) {
        result.error = win32::ERROR_INVALID_HANDLE;
        return result;
    }
    result.error = read_range(stream->file, stream->identity, offset, length, &result.bytes);
    if (result.error != 0) result.bytes.clear();
    return result;
}

std::size_t AppFile::abort() const {
    if (!stream_) return 0;
    return cancel_stream(stream_->identity.transfer_key, win32::ERROR_CLOUD_FILE_REQUEST_ABORTED);
}

std::int64_t AppFile::transfer_key() const { return stream_ ? stream_->identity.transfer_key : 0; }

AppOpenResult open_as_app(const std::string& path, std::uint32_t pid, const std::string& image_path) {
    AppOpenResult result;
    if (path.empty()) {
        result.error = win32::ERROR_PATH_NOT_FOUND;
        return result;
    }
    OpenRequest request;
    request.path = path;
    request.data_access = true;
    request.directories = false;
    std::uint32_t error = 0;
    auto file = open_path(request, error);
    if (!file) {
        result.error = error;
        return result;
    }
    auto stream = std::make_shared<AppStream>();
    stream->identity = StreamIdentity{new_transfer_key(), pid, wide_from_utf8(image_path)};
    {
        std::lock_guard lock(state_mutex());
        file->transfer_key = stream->identity.transfer_key;
    }
    stream->file = std::move(file);
    notify_open(*stream->file, stream->identity);
    result.file.stream_ = std::move(stream);
    return result;
}

}  // namespace zcf::linux_platform
