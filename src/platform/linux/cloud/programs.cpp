// platform/linux/cloud: what programs do to files through a front end, by the Cloud Files rules:
// their reads of content on the disk or missing, their writes, truncations and allocations of
// placeholders, what they are shown of a placeholder, and renames onto placeholders; and the
// observers front ends register for the engine's own changes. POSIX calls are allowed here and
// only under platform/linux.
#include "platform/linux/cloud/engine.h"
#include "platform/linux/cloud/front_end.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <linux/falloc.h>
#include <mutex>
#include <unistd.h>

namespace zcf::linux_platform {

// ---- Observers -----------------------------------------------------------------------------

namespace {

struct Observers {
    std::mutex mutex;
    std::vector<ChangeObserver*> list;
};
Observers& observers() {
    static auto* const O = new Observers();
    return *O;
}

}  // namespace

void add_change_observer(ChangeObserver* observer) {
    std::lock_guard lock(observers().mutex);
    observers().list.push_back(observer);
}

void publish_change(const struct stat& st, bool content) {
    std::vector<ChangeObserver*> list;
    {
        std::lock_guard lock(observers().mutex);
        list = observers().list;
    }
    for (ChangeObserver* o : list) o->file_changed(st, content);
}

// ---- Changes ---------------------------------------------------------------------------------

namespace {

// Brings in what a placeholder lacks of [0, end) before a program changes it, as Windows does
// before it lets a write in. 0 or an errno.
int bring_in(const std::shared_ptr<OpenFile>& file, const StreamIdentity& stream, std::int64_t end) {
    struct stat st{};
    if (::fstat(file->fd.get(), &st) != 0) return errno;
    const auto state = read_state(MetaTarget{file->fd.get(), nullptr});
    end = std::min<std::int64_t>(end, st.st_size);
    if (!state || end <= 0 || state->present.covers(0, end)) return 0;
    return read_range(file, stream, 0, end, nullptr) == 0 ? 0 : EIO;
}

// After a program's change of [begin, end) of a placeholder (its content is on disk there, and
// nothing beyond `size`): no longer in sync, with a new update sequence number. The caller holds
// the metadata lock.
int mark_changed(const MetadataLock& meta, std::int64_t begin, std::int64_t end, std::int64_t size) {
    const MetaTarget target{meta.fd(), nullptr};
    auto state = read_state(target);
    if (!state) return 0;
    state->present.add(begin, std::min(end, size));
    state->present.clip(size);
    state->in_sync = false;
    if (const int err = write_state(target, *state); err != 0) return err;
    return record_change(target, nullptr);
}

}  // namespace

int program_write(const std::shared_ptr<OpenFile>& file, const StreamIdentity& stream, const char* bytes,
                  std::size_t size, std::int64_t offset, std::size_t& written) {
    if (!read_state(MetaTarget{file->fd.get(), nullptr})) {
        const ssize_t n = ::pwrite(file->fd.get(), bytes, size, offset);
        if (n < 0) return errno;
        written = static_cast<std::size_t>(n);
        return 0;
    }
    if (const int err = bring_in(file, stream, INT64_MAX); err != 0) return err;
    const MetadataLock meta(*file->node, *file);
    if (meta.error() != 0) return meta.error();
    struct stat before{};
    if (::fstat(meta.fd(), &before) != 0) return errno;
    const ssize_t n = ::pwrite(file->fd.get(), bytes, size, offset);
    if (n < 0) return errno;
    written = static_cast<std::size_t>(n);
    struct stat after{};
    if (::fstat(meta.fd(), &after) != 0) return errno;
    // A write past the end leaves zeros between the old end and itself: the program's too.
    return mark_changed(meta, std::min<std::int64_t>(offset, before.st_size), offset + n, after.st_size);
}

int program_truncate(const std::shared_ptr<OpenFile>& file, const StreamIdentity& stream, std::int64_t size) {
    if (!read_state(MetaTarget{file->fd.get(), nullptr})) return ::ftruncate(file->fd.get(), size) == 0 ? 0 : errno;
    // What the file keeps is brought in by a fetch of just that (not the rest, which goes).
    StreamIdentity kept = stream;
    kept.progressive = false;
    if (const int err = bring_in(file, kept, size); err != 0) return err;
    const MetadataLock meta(*file->node, *file);
    if (meta.error() != 0) return meta.error();
    struct stat before{};
    if (::fstat(meta.fd(), &before) != 0) return errno;
    if (::ftruncate(meta.fd(), size) != 0) return errno;
    // What a longer size adds is zeros the file now holds.
    return mark_changed(meta, std::min<std::int64_t>(before.st_size, size), size, size);
}

int program_allocate(const std::shared_ptr<OpenFile>& file, const StreamIdentity& stream, int mode,
                     std::int64_t offset, std::int64_t length) {
    const int fd = file->fd.get();
    struct stat before{};
    if (::fstat(fd, &before) != 0) return errno;
    constexpr int MOVES = FALLOC_FL_COLLAPSE_RANGE | FALLOC_FL_INSERT_RANGE;
    const bool zeroes = (mode & (FALLOC_FL_PUNCH_HOLE | FALLOC_FL_ZERO_RANGE)) != 0;
    const bool grows = (mode & FALLOC_FL_KEEP_SIZE) == 0 && offset + length > before.st_size;
    const bool changes = zeroes || grows || (mode & MOVES) != 0;
    if (!read_state(MetaTarget{fd, nullptr})) return ::fallocate(fd, mode, offset, length) == 0 ? 0 : errno;
    if (!changes) {
        // Allocation alone: the placeholder's content and times stay as they are (the file
        // system would take it for a change).
        if (::fallocate(fd, mode, offset, length) != 0) return errno;
        keep_mtime(fd, before);
        return 0;
    }
    if (const int err = bring_in(file, stream, INT64_MAX); err != 0) return err;
    const MetadataLock meta(*file->node, *file);
    if (meta.error() != 0) return meta.error();
    if (::fstat(meta.fd(), &before) != 0) return errno;
    if ((mode & MOVES) != 0) {
        // Content moves: all of it must be on the disk (a dehydration may have come in between).
        const auto state = read_state(MetaTarget{meta.fd(), nullptr});
        if (state && !wholly_present(*state, before.st_size)) return EAGAIN;
    }
    if (::fallocate(meta.fd(), mode, offset, length) != 0) return errno;
    struct stat after{};
    if (::fstat(meta.fd(), &after) != 0) return errno;
    std::int64_t begin = std::min<std::int64_t>(before.st_size, after.st_size);
    std::int64_t end = std::max<std::int64_t>(before.st_size, after.st_size);
    if (zeroes) {
        begin = std::min<std::int64_t>(begin, offset);
        end = std::max<std::int64_t>(end, offset + length);
    }
    if ((mode & MOVES) != 0) begin = 0;
    return mark_changed(meta, begin, end, after.st_size);
}

// ---- Reads and views -------------------------------------------------------------------------

std::uint32_t program_read(const std::shared_ptr<OpenFile>& file, const StreamIdentity& stream, std::int64_t offset,
                           std::int64_t length, bool fetch, const std::function<void(int fd)>& present,
                           std::vector<std::uint8_t>& bytes, bool& served) {
    served = false;
    // Held from the state's reading to the end of the road of a read (which takes it again), so
    // that no dehydration makes the state read here wrong meanwhile.
    const ReadInProgress reading(*file->node, *file);
    std::optional<PlaceholderState> state;
    struct stat st{};
    if (reading.error() == 0 && ::fstat(file->fd.get(), &st) == 0) {
        state = read_state(MetaTarget{file->fd.get(), nullptr});
        const std::int64_t end = std::min<std::int64_t>(offset + length, st.st_size);
        if (!state || offset >= st.st_size || state->present.covers(offset, end)) {
            present(file->fd.get());  // content on the disk goes from the file itself
            served = true;
            return 0;
        }
    }
    if (!fetch) return win32::ERROR_CLOUD_FILE_UNSUCCESSFUL;
    return read_range(file, stream, offset, length, &bytes, state ? &*state : nullptr);
}

struct stat program_view(const std::string& name, bool follow, struct stat st) {
    if (!S_ISREG(st.st_mode)) return st;
    const auto state = read_state(MetaTarget{-1, name.c_str(), follow});
    if (!state) return st;
    st.st_ctim = st.st_mtim;
    st.st_mode = presented_mode(st.st_mode, *state);
    std::int64_t bytes = 0;
    for (const auto& [b, e] : state->present.ranges()) bytes += std::min<std::int64_t>(e, st.st_size) - std::min<std::int64_t>(b, st.st_size);
    st.st_blocks = (bytes + 4095) / 4096 * 8;
    return st;
}

std::string note_replacement(int dir, const char* name) {
    const std::string entry = descriptor_path(dir) + "/" + name;
    if (!read_state(MetaTarget{-1, entry.c_str()})) return {};
    const auto identity = read_identity(MetaTarget{-1, entry.c_str()});
    std::string folder;
    if (descriptor_name(dir, folder) != 0) return {};
    const std::string path = (folder == "/" ? "" : folder) + "/" + name;
    note_replaced(path, std::string(identity.begin(), identity.end()));
    return path;
}

}  // namespace zcf::linux_platform
