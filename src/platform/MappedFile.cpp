#include <platform/MappedFile.h>

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace vantry {

namespace {

// Tearing a mapping down holds the process's memory-map lock, and for a large one that is tens of
// milliseconds in which no other thread may map memory (the main thread among them): in pieces.
void unmap(void *address, qsizetype size)
{
    constexpr qsizetype piece = 8 * 1024 * 1024;
    for (qsizetype offset = 0; offset < size; offset += piece)
        ::munmap(static_cast<char *>(address) + offset, size_t(std::min(piece, size - offset)));
}

} // namespace

Expected<MappedFile, SystemError> MappedFile::open(const QString &path)
{
    const UniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd.isValid())
        return unexpected(SystemError::fromErrno(QStringLiteral("open"), path));
    return map(fd, path);
}

Expected<MappedFile, SystemError> MappedFile::map(const UniqueFd &fd, const QString &path)
{
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0)
        return unexpected(SystemError::fromErrno(QStringLiteral("fstat"), path));
    if (!S_ISREG(status.st_mode))
        return unexpected(SystemError{QStringLiteral("map"), path, S_ISDIR(status.st_mode) ? EISDIR : EINVAL});
    if (status.st_size == 0)
        return MappedFile(nullptr, 0);
    // The mapping keeps the file once the descriptor is closed.
    void *address = ::mmap(nullptr, size_t(status.st_size), PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (address == MAP_FAILED)
        return unexpected(SystemError::fromErrno(QStringLiteral("mmap"), path));
    // Read once, front to back: read ahead generously and drop pages behind.
    ::madvise(address, size_t(status.st_size), MADV_SEQUENTIAL);
    return MappedFile(address, qsizetype(status.st_size));
}

MappedFile::MappedFile(MappedFile &&other) noexcept
    : m_address(std::exchange(other.m_address, nullptr)), m_size(std::exchange(other.m_size, 0))
{
}

MappedFile &MappedFile::operator=(MappedFile &&other) noexcept
{
    if (this != &other) {
        if (m_address)
            unmap(m_address, m_size);
        m_address = std::exchange(other.m_address, nullptr);
        m_size = std::exchange(other.m_size, 0);
    }
    return *this;
}

MappedFile::~MappedFile()
{
    if (m_address)
        unmap(m_address, m_size);
}

QByteArrayView MappedFile::bytes() const
{
    return m_address ? QByteArrayView(static_cast<const char *>(m_address), m_size) : QByteArrayView();
}

} // namespace vantry
