// Working copy on POSIX: a MAP_SHARED mapping of the temporary file. A run holds an exclusive
// flock on its file for as long as it exists, which is how a second run that picked the same
// name tells a live working copy from a stale one left by a killed run.
#include "WorkingCopyMapping.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace brovald {

namespace {

int file = -1;
void* view = MAP_FAILED;
std::size_t view_size = 0;

// True when another process holds name's lock. A stale file (its run has ended) is not held.
bool held_by_another_run(const std::string& name)
{
    const int existing = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (existing < 0) {
        return false;
    }
    const bool held = ::flock(existing, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(existing);
    return held;
}

// Writes used_size zero bytes at the start of fd. Written blocks are reserved, so a full disk
// fails here and not as a fault when the image is stored; and writing in large pieces lets the
// system hold the used part in large pages, which are far quicker to map than small ones.
bool write_used_part(int fd, std::size_t used_size)
{
    static const char zeros[64 * 1024] = {};
    iovec pieces[16];
    for (iovec& piece : pieces) {
        piece.iov_base = const_cast<char*>(zeros);
        piece.iov_len = sizeof zeros;
    }
    std::size_t done = 0;
    while (done < used_size) {
        const std::size_t chunk = std::min(used_size - done, sizeof zeros * 16);
        int count = static_cast<int>((chunk + sizeof zeros - 1) / sizeof zeros);
        pieces[count - 1].iov_len = chunk - sizeof zeros * static_cast<std::size_t>(count - 1);
        const ssize_t written = ::pwritev(fd, pieces, count, static_cast<off_t>(done));
        pieces[count - 1].iov_len = sizeof zeros;
        if (written <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// Creates name exclusively, locks it and reserves its used part; -1 when any step fails.
int create_locked_file(const std::string& name, std::size_t mapping_size, std::size_t used_size)
{
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ftruncate(fd, static_cast<off_t>(mapping_size)) != 0 ||
        !write_used_part(fd, used_size)) {
        ::unlink(name.c_str());
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether name still names the file we hold open (a racing run may have replaced it).
bool name_is_ours(const std::string& name)
{
    struct stat by_name {};
    struct stat by_handle {};
    return ::stat(name.c_str(), &by_name) == 0 && ::fstat(file, &by_handle) == 0 &&
           by_name.st_dev == by_handle.st_dev && by_name.st_ino == by_handle.st_ino;
}

}  // namespace

MappingResult map_working_copy(const std::string& name, std::size_t mapping_size, std::size_t used_size)
{
    MappingResult result;
    if (held_by_another_run(name)) {
        result.state = MappingState::name_in_use;
        return result;
    }
    ::unlink(name.c_str());
    file = create_locked_file(name, mapping_size, used_size);
    result.file_created = file >= 0;
    // Without a file the memory comes from anonymous shared pages, as a mapping backed by the
    // paging file does on Windows.
    const int flags = result.file_created ? MAP_SHARED : MAP_SHARED | MAP_ANONYMOUS;
    view = ::mmap(nullptr, mapping_size, PROT_READ | PROT_WRITE, flags, file, 0);
    if (view == MAP_FAILED) {
        return result;
    }
    view_size = mapping_size;
#ifdef MADV_POPULATE_WRITE
    // One call maps the image's pages instead of a page fault for each of them when the reader
    // first fills the image. Older kernels refuse the advice; the faults then do it.
    ::madvise(view, used_size, MADV_POPULATE_WRITE);
#endif
    result.state = MappingState::mapped;
    result.view = static_cast<std::uint8_t*>(view);
    return result;
}

void unmap_working_copy(const std::string& name)
{
    if (view != MAP_FAILED) {
        ::munmap(view, view_size);
        view = MAP_FAILED;
    }
    if (file >= 0) {
        // Deleted while still locked, so no other run can have taken the name in between.
        if (name_is_ours(name)) {
            ::unlink(name.c_str());
        }
        ::close(file);
        file = -1;
    }
}

}  // namespace brovald
