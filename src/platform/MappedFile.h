#pragma once

#include <core/Expected.h>
#include <core/UniqueFd.h>
#include <platform/SystemError.h>

#include <QByteArrayView>
#include <QString>

namespace vantry {

/// A regular file mapped read-only into memory: its bytes are read from the page cache as they
/// are touched, so a file of several gigabytes costs no heap. Opened without following a link at
/// the last component and without blocking (a FIFO is refused, never waited on).
///
/// The mapping reflects the file: whoever may truncate the file while it is mapped can make a read
/// of the lost pages fault. Map only files in folders the launcher alone writes.
class MappedFile
{
public:
    [[nodiscard]] static Expected<MappedFile, SystemError> open(const QString &path);
    /// Maps the regular file open at `fd`; `path` names it in errors.
    [[nodiscard]] static Expected<MappedFile, SystemError> map(const UniqueFd &fd, const QString &path);

    MappedFile(MappedFile &&other) noexcept;
    MappedFile &operator=(MappedFile &&other) noexcept;
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;
    ~MappedFile();

    /// Every byte of the file as it was when mapped.
    [[nodiscard]] QByteArrayView bytes() const;

private:
    MappedFile(void *address, qsizetype size) : m_address(address), m_size(size) {}

    void *m_address = nullptr;
    qsizetype m_size = 0;
};

} // namespace vantry
