// Backup files as a user may hand them over: parse never crashes, and whatever
// it accepts is written back to a file that reads as the same backup.

#include "tests/fuzz/FuzzCheck.h"

#include "files/BackupFile.h"

using namespace History;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray json(reinterpret_cast<const char *>(data), qsizetype(size));
    const Result<Backup, BackupFile::Error> backup = BackupFile::parse(json);
    if (!backup) {
        FUZZ_CHECK(!backup.text().isEmpty());
        return 0;
    }
    FUZZ_CHECK(backup->block.size() == 16);
    FUZZ_CHECK(backup->taken.isValid() && backup->taken.timeSpec() == Qt::UTC);

    const QByteArray again = BackupFile::toJson(*backup);
    const Result<Backup, BackupFile::Error> reread = BackupFile::parse(again);
    FUZZ_CHECK(reread);
    FUZZ_CHECK(*reread == *backup);
    FUZZ_CHECK(BackupFile::toJson(*reread) == again);
    return 0;
}
