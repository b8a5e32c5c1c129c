#include "hostlib/whole_file.h"

#include "hostlib/host_call.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace zylos {

int readWholeFile(int fd, size_t limit, std::vector<uint8_t> &out)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return -errno;
    if (!S_ISREG(st.st_mode))
        return -ENXIO;
    if (static_cast<uint64_t>(st.st_size) > limit)
        return -EFBIG;
    out.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < out.size()) {
        const long n = retryInterrupted([&] { return ::read(fd, out.data() + done, out.size() - done); });
        if (n < 0)
            return static_cast<int>(n);
        if (n == 0) {
            out.resize(done); // the file shrank meanwhile
            break;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

int readWholeFile(const std::string &path, std::vector<uint8_t> &out)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    const int r = readWholeFile(fd, kMaxFileBytes, out);
    ::close(fd);
    return r;
}

} // namespace zylos
